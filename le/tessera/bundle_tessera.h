// The teeth borrow's four bundle members: how they are named and found (the
// carriage), the one rule that a bundle carries all four or is refused, and
// loading them, cross-checked, into the inputs a borrow is attached with.
// Everything here runs at open time on the caller's thread and throws on the
// first fault; carriages and loaded members are plain values.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/tessera/tessera_pi.h"

namespace le {

struct Manifest;

// "bank_track", "bank_sidecar", "head_weights", "head_config", then null.
const char* const* tesseraSlotKeys();
int tesseraSlotCount();  // 4

// A member file name per slot, in slot order; defaults are the v1 names.
struct TesseraSlots {
  std::string bank_track = "tessera_bank.v1.mp4";
  std::string bank_sidecar = "tessera_bank.v1.json";
  std::string head_weights = "tessera_head.v1.pt";
  std::string head_config = "tessera_head.v1.json";

  std::string& operator[](int slot);
  const std::string& operator[](int slot) const;
};

// What a bundle carries of the members. Building one never refuses for a
// missing member: a member counts when it is a regular file that opens.
struct TesseraCarriage {
  TesseraSlots names;                 // defaults overridden by manifest.tessera.members
  std::array<std::string, 4> paths;   // resolved member paths, slot order
  bool complete = false;              // no slot missing
  std::vector<std::string> missing;   // slot keys, slot order
  bool declared = false;              // the manifest holds a tessera object
  std::vector<std::string> planes;    // manifest.tessera.planes strings, for callers

  // The member path of a slot key; throws for an unknown key.
  const std::string& path(const std::string& slot) const;
};

// The four-member rule's refusal; `missing` copies the carriage's list.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& message, std::vector<std::string> missingSlots)
      : std::runtime_error(message), missing(std::move(missingSlots)) {}
  std::vector<std::string> missing;
};

// The loaded members, as a borrow is attached with them.
struct TesseraAttachInputs {
  int32_t n_donors = 0;              // 1..1024
  std::vector<int32_t> track_order;  // entry i: donor of bank frame i (a permutation)
  std::vector<double> cent;          // x0, y0, x1, y1, ...
  std::array<double, 2> c_canon{};   // x, y
  std::vector<double> aperture;      // per donor
  tessera::GeometryStamp stamp{};
  std::vector<uint8_t> head_pt;      // the whole head weights file
  std::string head_json;             // the whole head configuration file
  std::string manifest_json;         // the whole manifest file
  std::string bank_track_path;
  std::string bank_container, bank_codec, bank_pix_fmt, bank_packing;
  int32_t band_w = 0, band_h = 0;    // stored patch: band grown by shift_margin

  // n_donors x band_h x band_w x 3, in 64 bits.
  uint64_t bandBytes() const;
};

// "{canvas_w=.., canvas_h=.., ...}": the twelve entries in stamp order.
std::string tesseraStampText(const tessera::GeometryStamp& s);

// bundle: a directory or a container (unwrapped on first use). Throws only
// what bundle resolution throws.
TesseraCarriage tesseraCarriage(const std::string& bundle);
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Returns when the carriage is complete, else throws MissingTesseraMember.
void requireTesseraMembers(const TesseraCarriage& carriage);

// Throws MissingTesseraMember or std::runtime_error naming the member, key
// and reason; nothing partial is returned.
TesseraAttachInputs loadTesseraMembers(const std::string& bundle);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// Copies bank frame i of `track` to the band of donor track_order[i] in
// `donor`; both hold n_donors bands of band_w x band_h x 3 bytes and must not
// overlap.
void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* donor);

}  // namespace le
