// The generated table of wavelet filter banks (wavelet_table.cpp).
#pragma once

namespace vemio::enhance::detail {

struct WaveletTableEntry {
  const char* name;
  int length;          // taps per filter
  const double* bank;  // dec_lo, dec_hi, rec_lo, rec_hi, one after the other
};

extern const WaveletTableEntry kWaveletTable[];
extern const int kWaveletTableSize;

}  // namespace vemio::enhance::detail
