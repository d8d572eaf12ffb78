// A Windows process for the tests of the Windows programs under Wine: what
// only another Windows process can see of their files, as Wine keeps share
// modes and byte-range locks of Windows handles to itself.
//
//   WineFileProbe identity FILE
//       prints the file's identity as Windows gives it: the volume serial
//       number and the file index, in decimal.
//   WineFileProbe hold STOPFILE FILE...
//       opens each FILE as an ordinary reader does (the C runtime's fopen,
//       which shares reading and writing but not deleting), prints "held",
//       waits until STOPFILE exists, then prints what it reads through each
//       handle from the file's start: its length, a line feed, its bytes.
//   WineFileProbe during FILE...
//       waits until another process holds the writers' lock of every FILE
//       (a pass holds its lock file and its journal), then opens each as a
//       reader, reads it whole and renames it away and back; prints one line
//       per file, and whether the locks were still held after the last one.
//
// Exit status 0, or 2 with the reason on standard error.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int fail(const std::string& why) {
  std::fprintf(stderr, "WineFileProbe: %s (error %lu)\n", why.c_str(), GetLastError());
  return 2;
}

std::wstring wide(const std::string& name) {
  return std::wstring(name.begin(), name.end());
}

std::string readAll(FILE* file) {
  std::string bytes;
  std::fseek(file, 0, SEEK_SET);
  char block[4096];
  for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) {
    bytes.append(block, got);
  }
  return bytes;
}

int identity(const char* name) {
  HANDLE file = CreateFileW(wide(name).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info)) {
    return fail(std::string("cannot examine ") + name);
  }
  CloseHandle(file);
  std::printf("%lu %llu\n", info.dwVolumeSerialNumber,
              static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow);
  return 0;
}

int hold(int count, char** names, const char* stopFile) {
  std::vector<FILE*> held;
  for (int i = 0; i < count; ++i) {
    FILE* file = std::fopen(names[i], "rb");
    if (file == nullptr) {
      return fail(std::string("cannot open ") + names[i]);
    }
    held.push_back(file);
  }
  std::printf("held\n");
  std::fflush(stdout);
  for (int waited = 0; GetFileAttributesA(stopFile) == INVALID_FILE_ATTRIBUTES; waited += 20) {
    if (waited > 120000) {
      return fail("no stop file");
    }
    Sleep(20);
  }
  for (FILE* file : held) {
    std::string bytes = readAll(file);
    std::printf("%zu\n", bytes.size());
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
  return 0;
}

// Whether another process holds the writers' lock of the file: the byte at
// 2^62 cannot be locked now.
bool lockHeld(const char* lockFile) {
  HANDLE file =
      CreateFileA(lockFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  OVERLAPPED range{};
  range.OffsetHigh = 0x40000000;
  bool held = !LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range);
  if (!held) {
    UnlockFileEx(file, 0, 1, 0, &range);
  }
  CloseHandle(file);
  return held;
}

bool allLocksHeld(int count, char** names) {
  for (int i = 0; i < count; ++i) {
    if (!lockHeld(names[i])) {
      return false;
    }
  }
  return true;
}

int during(int count, char** names) {
  for (int waited = 0; !allLocksHeld(count, names); waited += 5) {
    if (waited > 60000) {
      return fail("no process held the locks");
    }
    Sleep(5);
  }
  for (int i = 0; i < count; ++i) {
    FILE* file = std::fopen(names[i], "rb");
    if (file == nullptr) {
      return fail(std::string("cannot open ") + names[i] + " while it is held");
    }
    size_t size = readAll(file).size();
    std::fclose(file);
    std::string moved = std::string(names[i]) + ".moved";
    if (!MoveFileA(names[i], moved.c_str()) || !MoveFileA(moved.c_str(), names[i])) {
      return fail(std::string("cannot rename ") + names[i] + " while it is held");
    }
    std::printf("read %zu bytes of %s and renamed it away and back\n", size, names[i]);
  }
  std::printf("the locks were held %s\n", allLocksHeld(count, names) ? "throughout" : "no longer");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "identity" && argc == 3) {
    return identity(argv[2]);
  }
  if (command == "hold" && argc >= 4) {
    return hold(argc - 3, argv + 3, argv[2]);
  }
  if (command == "during" && argc >= 3) {
    return during(argc - 2, argv + 2);
  }
  std::fprintf(stderr,
               "usage: WineFileProbe identity FILE | hold STOPFILE FILE... | during FILE...\n");
  return 2;
}
