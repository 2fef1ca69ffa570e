#include "session/spool_store.h"

#include "platform/platform.h"
#include "platform/spool_file.h"

namespace {

class CFileSpoolStore : public ISpoolStore {
 public:
  FILE* Create(const char* path, bool* pExists) override {
    return PlatformCreateExclusive(path, pExists);
  }
  size_t Write(const void* data, size_t size, FILE* file) override {
    return std::fwrite(data, 1, size, file);
  }
  FILE* OpenRead(const char* path) override { return std::fopen(path, "rb"); }
  size_t Read(void* buffer, size_t size, FILE* file) override {
    return std::fread(buffer, 1, size, file);
  }
  long long Length(FILE* file) override { return PlatformFileLength(file); }
  // fclose reports a write that only failed when the buffer was flushed.
  int Close(FILE* file) override { return std::fclose(file); }
  bool Delete(const char* path) override { return DeleteFileA(path) != FALSE; }
};

CFileSpoolStore s_fileStore;
ISpoolStore* s_store = &s_fileStore;

}  // namespace

ISpoolStore& SpoolStore() { return *s_store; }

void SetSpoolStoreForTesting(ISpoolStore* store) {
  s_store = store != nullptr ? store : &s_fileStore;
}
