#pragma once
#include <stdint.h>
#include <sys/types.h>
#define XATTR_NOFOLLOW 0x0001
extern "C" {
ssize_t getxattr(const char* path, const char* name, void* value, size_t size, uint32_t position,
                 int options);
ssize_t flistxattr(int fd, char* namebuff, size_t size, int options);
int fremovexattr(int fd, const char* name, int options);
}
