// pesq.exe: perceptual speech quality of a degraded recording against its reference.
//
//   pesq.exe +8000|+16000 [+nb|+wb] [--] REFERENCE DEGRADED
//
// "--" ends the options: what follows are file names, also one that begins with "+".
//
// Prints a short report whose last line ends with "= " and the MOS-LQO score. Errors go to
// standard error with a non-zero exit status.
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "vemio/audio/audio.hpp"
#include "vemio/metrics/pesq.hpp"

namespace {

constexpr const char* kUsage =
    "usage: pesq.exe +8000|+16000 [+nb|+wb] [--] REFERENCE DEGRADED\n"
    "  +8000, +16000  sampling rate of both files in Hz\n"
    "  +nb, +wb       narrow band (P.862 with P.862.1 mapping) or wide band (P.862.2);\n"
    "                 default: wide band at 16000 Hz, narrow band at 8000 Hz\n"
    "  --             end of options: the next arguments are files, even if they begin with +\n";

int fail(const std::string& message, int code = 1) {
  std::fprintf(stderr, "pesq.exe: error: %s\n", message.c_str());
  return code;
}

std::vector<float> load(const std::string& path, int rate, const char* role) {
  // Only regular files are read: a FIFO or a device under a .wav name would block the reader or
  // never end. A missing file is left to the decoder, whose message names it.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw std::runtime_error(std::string("cannot read audio: ") + role + " file " + path +
                             (S_ISDIR(st.st_mode) ? " is a directory" : " is not a regular file"));
  const vemio::audio::Decoded d = vemio::audio::decode(path);
  if (d.rate != rate)
    throw std::runtime_error(std::string(role) + " file " + path + " is sampled at " + std::to_string(d.rate) +
                             " Hz but +" + std::to_string(rate) +
                             " was requested; accepted rates are 8000 and 16000 Hz (resample "
                             "the file or pass the matching rate)");
  // 16-bit sample scale, as the model's level thresholds assume.
  std::vector<float> x(d.samples.begin(), d.samples.end());
  for (float& v : x) v *= 32768.0f;
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  int rate = 0;
  int mode = 0;  // 0 default, 1 narrow, 2 wide
  std::vector<std::string> files;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (!options) {
      files.push_back(a);
    } else if (a == "--") {
      options = false;
    } else if (a == "-h" || a == "--help" || a == "+help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "+nb") {
      mode = 1;
    } else if (a == "+wb") {
      mode = 2;
    } else if (a.size() > 1 && a[0] == '+') {
      const std::string digits = a.substr(1);
      if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9)
        return fail("unknown option " + a + "\n" + kUsage, 2);
      rate = std::stoi(digits);
      if (rate != 8000 && rate != 16000)
        return fail("sampling rate " + digits + " Hz is not supported; accepted rates are +8000 and +16000", 2);
    } else {
      files.push_back(a);
    }
  }
  if (rate == 0 || files.size() != 2)
    return fail(std::string(rate == 0 ? "the sampling rate (+8000 or +16000) is missing"
                                      : "exactly two files are needed: REFERENCE DEGRADED") +
                    "\n" + kUsage,
                2);
  const bool wide = mode == 2 || (mode == 0 && rate == 16000);
  if (wide && rate != 16000) return fail("wide-band mode (+wb) needs +16000; use +nb at 8000 Hz", 2);

  try {
    const std::vector<float> ref = load(files[0], rate, "reference");
    const std::vector<float> deg = load(files[1], rate, "degraded");
    const vemio::PesqScore s =
        vemio::pesq(ref, deg, rate, wide ? vemio::PesqMode::wide_band : vemio::PesqMode::narrow_band);
    std::printf("Reference: %s\n", files[0].c_str());
    std::printf("Degraded:  %s\n", files[1].c_str());
    std::printf("Mode: %s, %d Hz\n", wide ? "wide band (P.862.2)" : "narrow band (P.862, P.862.1)", rate);
    std::printf("Raw score = %.4f\n", s.raw);
    std::printf("MOS-LQO = %.4f\n", s.mos_lqo);
    return 0;
  } catch (const vemio::audio::AudioError& e) {
    return fail(std::string("cannot read audio: ") + e.what());
  } catch (const vemio::PesqError& e) {
    return fail(e.what(), 3);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}
