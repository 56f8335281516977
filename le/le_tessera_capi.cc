// le_tessera_slot_*, le_tessera_carriage_*, le_tessera_members_*: the teeth
// members' C entry points over the carriage and the member loader.
#include <array>
#include <exception>
#include <memory>
#include <new>

#include "le/capi.h"
#include "le/le_tessera.h"
#include "le/tessera/bundle_tessera.h"

struct le_tessera_carriage {
  le::TesseraCarriage c;
};

struct le_tessera_members {
  explicit le_tessera_members(le::TesseraAttachInputs&& loaded) : in(std::move(loaded)) {
    const le::tessera::GeometryStamp& s = in.stamp;
    stamp = {s.canvas_w, s.canvas_h, s.window_x0, s.window_y0, s.window_w, s.window_h,
             s.pad,      s.band_r0,  s.band_r1,   s.band_c0,   s.band_c1,  s.shift_margin};
  }
  le::TesseraAttachInputs in;
  std::array<int, 12> stamp;  // in stamp order, as the C interface hands it out
};

namespace {

// A carriage for a bundle that could not be resolved: all four missing.
le::TesseraCarriage unresolved() {
  le::TesseraCarriage c;
  for (const char* const* k = le::tesseraSlotKeys(); *k; ++k) c.missing.push_back(*k);
  return c;
}

template <class T>
const T* dataOrNull(const std::vector<T>& v) {
  return v.empty() ? nullptr : v.data();
}

}  // namespace

extern "C" {

LE_API int le_tessera_slot_count(void) { return le::tesseraSlotCount(); }

LE_API const char* le_tessera_slot_key(int i) {
  return i >= 0 && i < le::tesseraSlotCount() ? le::tesseraSlotKeys()[i] : nullptr;
}

LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  try {
    auto h = std::make_unique<le_tessera_carriage>();
    try {
      h->c = le::tesseraCarriage(bundle_dir);
    } catch (const std::bad_alloc&) {
      return nullptr;
    } catch (...) {
      h->c = unresolved();
    }
    return h.release();
  } catch (...) {
    return nullptr;
  }
}

LE_API void le_tessera_carriage_close(le_tessera_carriage* c) { delete c; }

LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c) {
  return c && c->c.complete ? 1 : 0;
}

LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c) {
  return c && c->c.declared ? 1 : 0;
}

LE_API const char* le_tessera_carriage_path(const le_tessera_carriage* c, const char* slot) {
  if (!c || !slot) return "";
  for (int i = 0; i < le::tesseraSlotCount(); ++i)
    if (std::string_view(slot) == le::tesseraSlotKeys()[i]) return c->c.paths[size_t(i)].c_str();
  return "";
}

LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c) {
  return c ? int(c->c.missing.size()) : 0;
}

LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int i) {
  if (!c || i < 0 || size_t(i) >= c->c.missing.size()) return nullptr;
  return c->c.missing[size_t(i)].c_str();
}

LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int errlen) {
  return le::capi::guardErr(
      "le_tessera_members_open", static_cast<le_tessera_members*>(nullptr), err, errlen,
      [&]() -> le_tessera_members* {
        if (!bundle_dir) {
          le::capi::fillErr(err, errlen, "le_tessera_members_open: null bundle_dir");
          return nullptr;
        }
        return std::make_unique<le_tessera_members>(le::loadTesseraMembers(bundle_dir)).release();
      });
}

LE_API void le_tessera_members_close(le_tessera_members* m) { delete m; }

LE_API int le_tessera_members_n_donors(const le_tessera_members* m) { return m ? m->in.n_donors : 0; }

LE_API const double* le_tessera_members_cent(const le_tessera_members* m) {
  return m ? dataOrNull(m->in.cent) : nullptr;
}

LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m) {
  return m ? m->in.c_canon.data() : nullptr;
}

LE_API const double* le_tessera_members_aperture(const le_tessera_members* m) {
  return m ? dataOrNull(m->in.aperture) : nullptr;
}

LE_API const int* le_tessera_members_stamp(const le_tessera_members* m) {
  return m ? m->stamp.data() : nullptr;
}

LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m) {
  return m ? dataOrNull(m->in.head_pt) : nullptr;
}

// Member files are at most 64 MiB, so the length fits an int.
LE_API int le_tessera_members_head_pt_len(const le_tessera_members* m) {
  return m ? int(m->in.head_pt.size()) : 0;
}

LE_API const char* le_tessera_members_head_json(const le_tessera_members* m) {
  return m ? m->in.head_json.c_str() : "";
}
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m) {
  return m ? m->in.manifest_json.c_str() : "";
}
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m) {
  return m ? m->in.bank_track_path.c_str() : "";
}
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m) {
  return m ? m->in.bank_container.c_str() : "";
}
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m) {
  return m ? m->in.bank_codec.c_str() : "";
}
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m) {
  return m ? m->in.bank_pix_fmt.c_str() : "";
}
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m) {
  return m ? m->in.bank_packing.c_str() : "";
}

LE_API int le_tessera_members_band_w(const le_tessera_members* m) { return m ? m->in.band_w : 0; }
LE_API int le_tessera_members_band_h(const le_tessera_members* m) { return m ? m->in.band_h : 0; }

LE_API uint64_t le_tessera_members_band_bytes(const le_tessera_members* m) {
  return m ? m->in.bandBytes() : 0;
}

LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track,
                                      uint8_t* donor, char* err, int errlen) {
  return le::capi::guardErr("le_tessera_members_reorder", 1, err, errlen, [&] {
    if (!m || !track || !donor) {
      le::capi::fillErr(err, errlen, "le_tessera_members_reorder: null argument");
      return 1;
    }
    le::reorderTrackToDonor(m->in, track, donor);
    return 0;
  });
}

}  // extern "C"
