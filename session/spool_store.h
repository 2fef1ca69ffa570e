// The file operations behind a message's spool file.
//
// By default these are the platform's own (exclusive private creation, stdio
// reads and writes, DeleteFileA). Tests install a store that fails on demand:
// no space, a short write, a file that cannot be reopened or deleted.
#ifndef DIVIVEZ_SESSION_SPOOL_STORE_H_
#define DIVIVEZ_SESSION_SPOOL_STORE_H_

#include <cstddef>
#include <cstdio>

class ISpoolStore {
 public:
  virtual ~ISpoolStore() = default;
  // Creates the file exclusively for binary writing; *pExists when the name
  // is taken.
  virtual FILE* Create(const char* path, bool* pExists) = 0;
  virtual size_t Write(const void* data, size_t size, FILE* file) = 0;
  virtual FILE* OpenRead(const char* path) = 0;
  virtual size_t Read(void* buffer, size_t size, FILE* file) = 0;
  // The file's length in bytes, or -1.
  virtual long long Length(FILE* file) = 0;
  virtual int Close(FILE* file) = 0;
  virtual bool Delete(const char* path) = 0;
};

ISpoolStore& SpoolStore();
void SetSpoolStoreForTesting(ISpoolStore* store);  // nullptr restores the default

#endif  // DIVIVEZ_SESSION_SPOOL_STORE_H_
