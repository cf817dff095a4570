// Perceptual evaluation of speech quality: the ITU-T P.862 model (narrow band, scored on the
// P.862.1 MOS-LQO scale) and its P.862.2 wide-band variant.
//
// Every call is self-contained: no global state, no caches shared between calls, so pairs can
// be scored on as many threads as the caller likes.
#pragma once

#include <span>
#include <stdexcept>
#include <string>

namespace vemio {

enum class PesqMode { narrow_band, wide_band };

struct PesqScore {
  double raw = 0;      // the model's raw quality score (4.5 for identical signals)
  double mos_lqo = 0;  // raw score mapped to the listening-quality scale of the mode
};

// Why a pair could not be scored. what() is a complete, human-readable sentence.
class PesqError : public std::runtime_error {
 public:
  enum class Kind { invalid_rate, invalid_mode, too_short, no_utterances, invalid_input };
  PesqError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Scores `degraded` against `reference`, both mono at `rate` Hz (8000 or 16000; wide band
// needs 16000). Sample scale does not matter: both signals are level-aligned first.
// Throws PesqError for a wrong rate or mode, signals shorter than a quarter of a second,
// non-finite samples, and signals in which no speech utterance is found.
PesqScore pesq(std::span<const double> reference, std::span<const double> degraded, int rate, PesqMode mode);
PesqScore pesq(std::span<const float> reference, std::span<const float> degraded, int rate, PesqMode mode);

// The score mappings, exposed for tests and callers that keep raw scores.
double pesq_mos_lqo_narrow(double raw);  // P.862.1
double pesq_mos_lqo_wide(double raw);    // P.862.2

}  // namespace vemio
