// Fast Fourier transform of real sample blocks of a power-of-two length N (64 .. 524288).
// One length is prepared at a time (InitRfft); rfft then transforms blocks of that length
// into the first N/2 values of their spectrum.
#ifndef QTX_RFFT_H
#define QTX_RFFT_H

struct complexStruct
{
    double re;
    double im;
};

// Prepares the tables for N = 2^k, k = 6 .. 19: 1; any other N: 0 and nothing prepared.
int InitRfft(int N);
void CleanupRfft();
// log2 of N/2 for a supported N, else 0.
int getBitsFromSize(int N);
// log2 of N/2 of the prepared length; 0 when nothing is prepared.
int GetRfftBits();

// X[k] = sum s[n] e^(-i 2 pi n k / N) for k = 0 .. N/2 - 1 into out. The N samples serve as
// work space and are overwritten. 0 when nothing is prepared.
int rfft(double* samples, complexStruct* out);

// In-place forward complex transform of 2^bits values, natural order, not normalised.
// twiddles[i - 1] = e^(-i 2 pi i / 2^bits) for i = 1 .. 2^(bits-1) - 1.
void fft(complexStruct* data, int bits, const complexStruct* twiddles);

// out[k] = |X[k]| / (N/2): a sine of amplitude A on bin k gives A. 0 when nothing is
// prepared or a pointer is null.
int AbsArray(const complexStruct* spectrum, double* out);
// out[k] = re^2 + im^2, unscaled.
int AbsSquareArray(const complexStruct* spectrum, double* out);

#endif
