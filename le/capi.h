// The error convention shared by every le_ entry point: one helper empties the
// family's last-error text, runs the body and turns any exception into
// "<function>: <message>" plus the documented failure value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

namespace le::capi {

enum class Family { Core, A2x, Motion, Fca, Stream, Utt };

// This thread's message for a family; created empty on first use, freed at
// thread exit.
std::string& lastError(Family f) noexcept;
const char* lastErrorText(Family f) noexcept;

// Stores "<fn>: <what>" without throwing (an allocation failure leaves the
// text empty rather than escaping).
void storeError(Family f, const char* fn, std::string_view what) noexcept;

// Copies text with its terminator when it fits in cap; otherwise empties out
// (when cap > 0) and returns false.
bool copyOut(std::string_view text, char* out, size_t cap) noexcept;

// "<name> <n> above the limit of 256" for a thread count the worker pool
// cannot serve, else empty.
std::string threadsRefusal(std::string_view name, int threads);

// Keypoint values beyond this magnitude are refused like non-finite ones: the
// director squares coordinates, and 1e30 becomes infinity there.
inline constexpr float kKeypointLimit = 1e6f;

// The first value of a keypoint set (21 rows of x, y, z) that is not finite
// or lies beyond kKeypointLimit, as "<name> row <r> column <c> is <v>, not a
// finite keypoint value within ±1e+06"; empty when every value is usable.
std::string badKeypoint(std::string_view name, const float* kp);

// The first of n values that is not finite, as "<what> <i> is <v>, not a
// finite value"; empty when all are finite.
std::string badValue(std::string_view what, const float* v, int64_t n);

// One entry point's call: `reject` stores a fixed argument message and hands
// back the failure value so a body can `return call.reject("bad args")`.
template <class R>
struct Call {
  Family family;
  const char* fn;
  R failValue;
  R reject(std::string_view reason) const noexcept {
    storeError(family, fn, reason);
    return failValue;
  }
};

template <class R, class Body>
R guard(Family family, const char* fn, R failValue, Body&& body) noexcept {
  lastError(family).clear();
  const Call<R> call{family, fn, failValue};
  try {
    return body(call);
  } catch (const std::exception& e) {
    storeError(family, fn, e.what());
  } catch (...) {
    storeError(family, fn, "unknown error");
  }
  return failValue;
}

// The tessera functions' convention: a failure's message goes into the
// caller's err buffer (at most errlen - 1 bytes and a terminator; nothing for
// a null buffer or errlen < 1) instead of a last-error text. The pieces are
// written one after the other, so no allocation is needed.
void fillErr(char* err, int errlen, std::string_view a, std::string_view b = {}) noexcept;

// Empties err, runs the body and turns an exception into its text ("<fn>:
// out of memory", "<fn>: unknown failure" for those without one).
template <class R, class Body>
R guardErr(const char* fn, R failValue, char* err, int errlen, Body&& body) noexcept {
  fillErr(err, errlen, {});
  try {
    return body();
  } catch (const std::bad_alloc&) {
    fillErr(err, errlen, fn, ": out of memory");
  } catch (const std::exception& e) {
    fillErr(err, errlen, e.what());
  } catch (...) {
    fillErr(err, errlen, fn, ": unknown failure");
  }
  return failValue;
}

}  // namespace le::capi
