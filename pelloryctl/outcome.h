// What a pelloryctl step that can fail hands back: nothing on success, or
// the errno behind the failure (0 when there is none) and the one line the
// command prints after "pelloryctl: ". [[nodiscard]] so that a step whose
// failure goes unread does not build.
#pragma once

#include <string>
#include <utility>

struct [[nodiscard]] Outcome {
  int error = 0;
  std::string reason;  // empty exactly when the step succeeded

  bool ok() const { return reason.empty(); }
  explicit operator bool() const { return ok(); }
};

inline Outcome Done() { return {}; }
// A failure always says why; an empty reason would read as success.
inline Outcome Fail(std::string reason, int error = 0) {
  return {error, reason.empty() ? std::string("failed") : std::move(reason)};
}
