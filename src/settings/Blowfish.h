#pragma once

#include <cstddef>
#include <cstdint>

// Blowfish as its author published it: 16 rounds, a P-array of 18 words and
// four S-boxes of 256 words, all initialised from the digits of pi. Blocks
// are two 32-bit halves; how bytes map onto the halves is the caller's
// business.
namespace Blowfish {

constexpr int kRounds = 16;
constexpr size_t kMaxKeyBytes = 56;

struct State {
  uint32_t pArray[kRounds + 2];
  uint32_t sBoxes[4][256];
};

// The hexadecimal digits of pi's fractional part, generated at build time.
extern const uint32_t kInitialPArray[kRounds + 2];
extern const uint32_t kInitialSBoxes[4][256];

// The round function: ((S1[a] + S2[b]) ^ S3[c]) + S4[d], a the most
// significant byte of x.
uint32_t roundFunction(const State& state, uint32_t x);

// Builds state from the initial tables and a key of 1 to 56 bytes.
// Returns 0, or -1 for a key length out of range (state then untouched).
int scheduleKey(State& state, const uint8_t* key, size_t keyLength);

void encryptBlock(const State& state, uint32_t& left, uint32_t& right);
void decryptBlock(const State& state, uint32_t& left, uint32_t& right);

// Overwrites the state with zero bytes in a way the compiler keeps.
void clearState(State& state);

}  // namespace Blowfish
