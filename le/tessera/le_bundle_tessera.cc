// The carriage: which member file each slot names and whether it is there,
// and the one predicate that refuses a bundle missing any of the four.
#include <exception>
#include <optional>
#include <stdexcept>

#include "le/bundle/manifest.h"
#include "le/bundle/member.h"
#include "le/bundle/paths.h"
#include "le/runtime/log.h"
#include "le/tessera/bundle_tessera.h"
#include "le/tessera/member_file.h"
#include "le/tessera/tessera_carriage.h"
#include "le/tessera/tessera_json.h"

namespace le {

namespace {

constexpr const char* kSlotKeys[] = {"bank_track", "bank_sidecar", "head_weights", "head_config",
                                     nullptr};
constexpr int kSlots = 4;

int slotIndex(const std::string& key) {
  for (int i = 0; i < kSlots; ++i)
    if (key == kSlotKeys[i]) return i;
  return -1;
}

// The manifest's tessera block: member names and planes. A manifest that
// cannot be read or parsed counts as one without the block.
void applyManifest(const std::string& dir, TesseraCarriage& c) {
  const std::string path = tessera::manifestPath(dir);
  if (path.empty()) return;
  tessera::json::JVal top;
  try {
    top = tessera::json::parseJson(tessera::readMemberText(path), path);
  } catch (const std::exception&) {
    return;
  }
  const tessera::json::JVal* block = top.find("tessera");
  if (!block || !block->isObj()) return;
  c.declared = true;
  if (const tessera::json::JVal* members = block->find("members"); members && members->isObj())
    for (int i = 0; i < kSlots; ++i)
      if (const tessera::json::JVal* v = members->find(kSlotKeys[i]); v && v->isStr() && !v->str.empty())
        c.names[i] = v->str;
  if (const tessera::json::JVal* planes = block->find("planes"); planes && planes->isArr())
    for (const tessera::json::JVal& p : planes->arr)
      if (p.isStr()) c.planes.push_back(p.str);
}

}  // namespace

const char* const* tesseraSlotKeys() { return kSlotKeys; }
int tesseraSlotCount() { return kSlots; }

std::string& TesseraSlots::operator[](int slot) {
  switch (slot) {
    case 0: return bank_track;
    case 1: return bank_sidecar;
    case 2: return head_weights;
    default: return head_config;
  }
}
const std::string& TesseraSlots::operator[](int slot) const {
  return (*const_cast<TesseraSlots*>(this))[slot];
}

const std::string& TesseraCarriage::path(const std::string& slot) const {
  const int i = slotIndex(slot);
  if (i < 0) throw std::runtime_error("teeth: no such member slot '" + slot + "'");
  return paths[size_t(i)];
}

namespace tessera {

namespace {

// Where a slot's member name leads, by the bundle's own confinement check; a
// name that would leave the bundle (absolute, ".." above it, a symbolic link
// out) is never opened, not even by the older-name lookup of member
// resolution: the slot counts as missing and the reason is logged.
std::optional<std::string> slotPath(const std::string& dir, const char* key, const std::string& name) {
  try {
    // Confines the name before any lookup.
    return resolveMember(dir, name, std::string("manifest key tessera.members.") + key);
  } catch (const std::runtime_error& e) {
    log::linef(log::Level::Warning, "[le] teeth: %s", e.what());
    return std::nullopt;
  }
}

// A manifest linked out of the bundle is not the bundle's: never read.
std::optional<std::string> confinedManifest(const std::string& dir, const char* name) {
  try {
    return member::confined(dir, name, "member");
  } catch (const std::runtime_error& e) {
    log::linef(log::Level::Warning, "[le] teeth: %s", e.what());
    return std::nullopt;
  }
}

}  // namespace

std::string manifestPath(const std::string& dir) {
  for (const char* name : {"manifest.json", "meta.json"}) {
    const std::optional<std::string> p = confinedManifest(dir, name);
    if (p && regularMember(*p)) return *p;
  }
  return {};
}

TesseraCarriage carriageOfDir(const std::string& dir) {
  TesseraCarriage c;
  applyManifest(dir, c);
  for (int i = 0; i < kSlots; ++i) {
    const std::optional<std::string> path = slotPath(dir, kSlotKeys[i], c.names[i]);
    c.paths[size_t(i)] = path.value_or(dir + "/" + c.names[i]);
    if (!path || !regularMember(*path)) c.missing.push_back(kSlotKeys[i]);
  }
  c.complete = c.missing.empty();
  return c;
}

}  // namespace tessera

TesseraCarriage tesseraCarriage(const std::string& bundle) {
  return tessera::carriageOfDir(resolveBundlePath(bundle));
}

TesseraCarriage tesseraCarriage(const Manifest& manifest) { return tesseraCarriage(manifest.dir); }

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string msg = "missing teeth member(s): ";
  for (size_t k = 0; k < c.missing.size(); ++k) {
    if (k) msg += ", ";
    msg += c.missing[k] + " (" + c.path(c.missing[k]) + ")";
  }
  msg += " — carries " + std::to_string(kSlots - int(c.missing.size())) + " of 4";
  if (c.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; "
      "any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no "
      "rendering mode that proceeds without them (cadenza-2 IS borrowed teeth). Re-stage the bundle "
      "with the bank builder.";
  throw MissingTesseraMember(msg, c.missing);
}

}  // namespace le
