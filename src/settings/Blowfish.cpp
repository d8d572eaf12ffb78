#include "settings/Blowfish.h"

#include <cstring>
#include <utility>

#include "os/Memory.h"

namespace Blowfish {

uint32_t roundFunction(const State& state, uint32_t x) {
  uint32_t a = (x >> 24) & 0xFF;
  uint32_t b = (x >> 16) & 0xFF;
  uint32_t c = (x >> 8) & 0xFF;
  uint32_t d = x & 0xFF;
  return ((state.sBoxes[0][a] + state.sBoxes[1][b]) ^ state.sBoxes[2][c]) + state.sBoxes[3][d];
}

void encryptBlock(const State& state, uint32_t& left, uint32_t& right) {
  uint32_t l = left;
  uint32_t r = right;
  for (int i = 0; i < kRounds; ++i) {
    l ^= state.pArray[i];
    r ^= roundFunction(state, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= state.pArray[kRounds];
  l ^= state.pArray[kRounds + 1];
  left = l;
  right = r;
}

void decryptBlock(const State& state, uint32_t& left, uint32_t& right) {
  uint32_t l = left;
  uint32_t r = right;
  for (int i = kRounds + 1; i > 1; --i) {
    l ^= state.pArray[i];
    r ^= roundFunction(state, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= state.pArray[1];
  l ^= state.pArray[0];
  left = l;
  right = r;
}

// The key bytes are cycled over the P-array, first byte most significant;
// then the all-zero block is encrypted again and again, each result
// replacing the next two words of the P-array and then of the S-boxes.
int scheduleKey(State& state, const uint8_t* key, size_t keyLength) {
  if (key == nullptr || keyLength == 0 || keyLength > kMaxKeyBytes) {
    return -1;
  }
  std::memcpy(state.pArray, kInitialPArray, sizeof state.pArray);
  std::memcpy(state.sBoxes, kInitialSBoxes, sizeof state.sBoxes);
  size_t keyPosition = 0;
  for (uint32_t& word : state.pArray) {
    uint32_t keyWord = 0;
    for (int i = 0; i < 4; ++i) {
      keyWord = (keyWord << 8) | key[keyPosition];
      keyPosition = (keyPosition + 1) % keyLength;
    }
    word ^= keyWord;
  }
  uint32_t left = 0;
  uint32_t right = 0;
  for (int i = 0; i < kRounds + 2; i += 2) {
    encryptBlock(state, left, right);
    state.pArray[i] = left;
    state.pArray[i + 1] = right;
  }
  for (auto& box : state.sBoxes) {
    for (int i = 0; i < 256; i += 2) {
      encryptBlock(state, left, right);
      box[i] = left;
      box[i + 1] = right;
    }
  }
  return 0;
}

void clearState(State& state) {
  Os::wipeMemory(&state, sizeof state);
}

}  // namespace Blowfish
