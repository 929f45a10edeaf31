// The document log file: one document and ",\n" per line, flushed at once.

#include "gstzarnnvmetamux.h"

#include <cerrno>

void add_to_file(const std::string &text, std::string path, FILE **save_file) {
  if (!*save_file) {
    *save_file = std::fopen(path.c_str(), "a+");
    if (!*save_file) {
      // The caller reports why: the message must not change errno.
      const int error = errno;
      g_print("Failed to open file!\n");
      errno = error;
      return;
    }
    g_print("Open file!\n");
  }
  // Write and flush errors are not reported: the log plays no part in the
  // buffer flow.
  std::fwrite(text.data(), 1, text.size(), *save_file);
  std::fputs(",\n", *save_file);
  std::fflush(*save_file);
}
