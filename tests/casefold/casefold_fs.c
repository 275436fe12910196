// varquin-casefold-fs: a view of a directory that finds names whatever their letter case and
// Unicode composition, as a Mac's default volume (APFS) does, while keeping every name as it was
// created. Tests run with TMPDIR inside it (scripts/test-casefold.sh) to catch code that takes two
// spellings of one name for two files.
//
//   varquin-casefold-fs BACKING_DIR MOUNTPOINT [FUSE options, e.g. -f]
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utf8proc.h>

static int backing_fd = -1;

// The form names are compared in: decomposed (NFD) and case-folded, as APFS compares them.
static char* folded(const char* name) {
  utf8proc_uint8_t* out = NULL;
  const utf8proc_option_t options =
      UTF8PROC_NULLTERM | UTF8PROC_STABLE | UTF8PROC_DECOMPOSE | UTF8PROC_CASEFOLD;
  if (utf8proc_map((const utf8proc_uint8_t*)name, 0, &out, options) < 0) return strdup(name);
  return (char*)out;
}

// The entry of the backing directory `dir` (relative to backing_fd) that `name` stands for: the
// name itself when it exists, else the first entry equal to it once folded, else `name` as given.
static void match_entry(const char* dir, const char* name, char* out, size_t size) {
  char probe[PATH_MAX];
  struct stat info;
  snprintf(out, size, "%s", name);
  snprintf(probe, sizeof probe, "%s/%s", dir, name);
  if (fstatat(backing_fd, probe, &info, AT_SYMLINK_NOFOLLOW) == 0) return;
  int fd = openat(backing_fd, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* listing = fdopendir(fd);
  if (listing == NULL) {
    close(fd);
    return;
  }
  char* wanted = folded(name);
  for (struct dirent* entry; (entry = readdir(listing)) != NULL;) {
    char* candidate = folded(entry->d_name);
    const int same = strcmp(candidate, wanted) == 0;
    free(candidate);
    if (same) {
      snprintf(out, size, "%s", entry->d_name);
      break;
    }
  }
  free(wanted);
  closedir(listing);
}

// The backing path (relative to backing_fd) of a path of the mount, component by component.
static int resolve(const char* path, char* out, size_t size) {
  snprintf(out, size, ".");
  for (const char* at = path; *at;) {
    while (*at == '/') ++at;
    if (!*at) break;
    const size_t length = strcspn(at, "/");
    char name[NAME_MAX + 1];
    if (length > NAME_MAX) return -ENAMETOOLONG;
    memcpy(name, at, length);
    name[length] = '\0';
    char entry[NAME_MAX + 1];
    match_entry(out, name, entry, sizeof entry);
    const size_t used = strlen(out);
    if (used + 1 + strlen(entry) + 1 > size) return -ENAMETOOLONG;
    snprintf(out + used, size - used, "/%s", entry);
    at += length;
  }
  return 0;
}

#define RESOLVE(path, name)                           \
  char name[PATH_MAX];                                \
  do {                                                \
    int resolved_ = resolve(path, name, sizeof name); \
    if (resolved_ != 0) return resolved_;             \
  } while (0)

static int result(int value) {
  return value < 0 ? -errno : 0;
}

static void* on_init(struct fuse_conn_info* connection, struct fuse_config* config) {
  (void)connection;
  config->use_ino = 1;  // the backing inode numbers: identity checks compare them
  // No caching of names: "ABC" looked up as missing must still find "abc" created a moment later.
  config->entry_timeout = 0;
  config->negative_timeout = 0;
  config->attr_timeout = 0;
  return NULL;
}

static int on_getattr(const char* path, struct stat* info, struct fuse_file_info* file) {
  if (file != NULL) return result(fstat((int)file->fh, info));
  RESOLVE(path, real);
  return result(fstatat(backing_fd, real, info, AT_SYMLINK_NOFOLLOW));
}

static int on_readlink(const char* path, char* buffer, size_t size) {
  RESOLVE(path, real);
  ssize_t length = readlinkat(backing_fd, real, buffer, size - 1);
  if (length < 0) return -errno;
  buffer[length] = '\0';
  return 0;
}

static int on_mknod(const char* path, mode_t mode, dev_t device) {
  RESOLVE(path, real);
  return result(mknodat(backing_fd, real, mode, device));
}

static int on_mkdir(const char* path, mode_t mode) {
  RESOLVE(path, real);
  return result(mkdirat(backing_fd, real, mode));
}

static int on_unlink(const char* path) {
  RESOLVE(path, real);
  return result(unlinkat(backing_fd, real, 0));
}

static int on_rmdir(const char* path) {
  RESOLVE(path, real);
  return result(unlinkat(backing_fd, real, AT_REMOVEDIR));
}

static int on_symlink(const char* target, const char* path) {
  RESOLVE(path, real);
  return result(symlinkat(target, backing_fd, real));
}

// A rename onto another spelling of the same entry only changes its spelling, as on APFS.
static int on_rename(const char* from, const char* to, unsigned int flags) {
  RESOLVE(from, source);
  RESOLVE(to, target);
  struct stat a, b;
  if (fstatat(backing_fd, source, &a, AT_SYMLINK_NOFOLLOW) == 0 &&
      fstatat(backing_fd, target, &b, AT_SYMLINK_NOFOLLOW) == 0 && a.st_ino == b.st_ino &&
      a.st_dev == b.st_dev) {
    char parent[PATH_MAX];
    snprintf(parent, sizeof parent, "%s", target);
    char* slash = strrchr(parent, '/');
    const char* name = strrchr(to, '/');
    if (slash != NULL && name != NULL) {
      snprintf(slash + 1, sizeof parent - (size_t)(slash + 1 - parent), "%s", name + 1);
      snprintf(target, sizeof target, "%s", parent);
    }
  }
  return result(renameat2(backing_fd, source, backing_fd, target, flags));
}

static int on_link(const char* from, const char* to) {
  RESOLVE(from, source);
  RESOLVE(to, target);
  return result(linkat(backing_fd, source, backing_fd, target, 0));
}

static int on_chmod(const char* path, mode_t mode, struct fuse_file_info* file) {
  if (file != NULL) return result(fchmod((int)file->fh, mode));
  RESOLVE(path, real);
  return result(fchmodat(backing_fd, real, mode, 0));
}

static int on_chown(const char* path, uid_t user, gid_t group, struct fuse_file_info* file) {
  if (file != NULL) return result(fchown((int)file->fh, user, group));
  RESOLVE(path, real);
  return result(fchownat(backing_fd, real, user, group, AT_SYMLINK_NOFOLLOW));
}

static int on_truncate(const char* path, off_t size, struct fuse_file_info* file) {
  if (file != NULL) return result(ftruncate((int)file->fh, size));
  RESOLVE(path, real);
  int fd = openat(backing_fd, real, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  int done = result(ftruncate(fd, size));
  close(fd);
  return done;
}

static int on_open(const char* path, struct fuse_file_info* file) {
  RESOLVE(path, real);
  int fd = openat(backing_fd, real, file->flags | O_CLOEXEC);
  if (fd < 0) return -errno;
  file->fh = (uint64_t)fd;
  return 0;
}

static int on_create(const char* path, mode_t mode, struct fuse_file_info* file) {
  RESOLVE(path, real);
  int fd = openat(backing_fd, real, file->flags | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return -errno;
  file->fh = (uint64_t)fd;
  return 0;
}

static int on_read(const char* path, char* buffer, size_t size, off_t offset,
                   struct fuse_file_info* file) {
  (void)path;
  ssize_t got = pread((int)file->fh, buffer, size, offset);
  return got < 0 ? -errno : (int)got;
}

static int on_write(const char* path, const char* buffer, size_t size, off_t offset,
                    struct fuse_file_info* file) {
  (void)path;
  ssize_t put = pwrite((int)file->fh, buffer, size, offset);
  return put < 0 ? -errno : (int)put;
}

static int on_statfs(const char* path, struct statvfs* info) {
  (void)path;
  return result(fstatvfs(backing_fd, info));
}

static int on_release(const char* path, struct fuse_file_info* file) {
  (void)path;
  close((int)file->fh);
  return 0;
}

static int on_fsync(const char* path, int data_only, struct fuse_file_info* file) {
  (void)path;
  return result(data_only ? fdatasync((int)file->fh) : fsync((int)file->fh));
}

static int on_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info* file, enum fuse_readdir_flags flags) {
  (void)offset;
  (void)file;
  (void)flags;
  RESOLVE(path, real);
  int fd = openat(backing_fd, real, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  DIR* listing = fdopendir(fd);
  if (listing == NULL) {
    close(fd);
    return -errno;
  }
  for (struct dirent* entry; (entry = readdir(listing)) != NULL;) {
    if (fill(buffer, entry->d_name, NULL, 0, 0) != 0) break;
  }
  closedir(listing);
  return 0;
}

static int on_access(const char* path, int mode) {
  RESOLVE(path, real);
  return result(faccessat(backing_fd, real, mode, AT_SYMLINK_NOFOLLOW));
}

static int on_utimens(const char* path, const struct timespec times[2],
                      struct fuse_file_info* file) {
  if (file != NULL) return result(futimens((int)file->fh, times));
  RESOLVE(path, real);
  return result(utimensat(backing_fd, real, times, AT_SYMLINK_NOFOLLOW));
}

static const struct fuse_operations kOperations = {
    .init = on_init,
    .getattr = on_getattr,
    .readlink = on_readlink,
    .mknod = on_mknod,
    .mkdir = on_mkdir,
    .unlink = on_unlink,
    .rmdir = on_rmdir,
    .symlink = on_symlink,
    .rename = on_rename,
    .link = on_link,
    .chmod = on_chmod,
    .chown = on_chown,
    .truncate = on_truncate,
    .open = on_open,
    .read = on_read,
    .write = on_write,
    .statfs = on_statfs,
    .release = on_release,
    .fsync = on_fsync,
    .readdir = on_readdir,
    .create = on_create,
    .access = on_access,
    .utimens = on_utimens,
};

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: varquin-casefold-fs BACKING_DIR MOUNTPOINT [FUSE options]\n");
    return 2;
  }
  backing_fd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (backing_fd < 0) {
    perror(argv[1]);
    return 1;
  }
  // FUSE takes the mountpoint and its options; the backing directory is ours.
  argv[1] = argv[0];
  return fuse_main(argc - 1, argv + 1, &kOperations, NULL);
}
