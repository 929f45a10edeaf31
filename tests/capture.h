// Captures what the code under test writes to a standard stream.
#ifndef ZARN_TESTS_CAPTURE_H
#define ZARN_TESTS_CAPTURE_H

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

namespace zarn_test {

// Runs `body` with the file descriptor of `stream` pointed at a temporary
// file and returns what was written.
inline std::string capture(FILE *stream, const std::function<void()> &body) {
  std::fflush(stream);
  FILE *tmp = std::tmpfile();
  const int fd = fileno(stream);
  const int saved = dup(fd);
  dup2(fileno(tmp), fd);
  body();
  std::fflush(stream);
  dup2(saved, fd);
  close(saved);
  std::string out;
  std::rewind(tmp);
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, tmp)) > 0)
    out.append(chunk, n);
  std::fclose(tmp);
  return out;
}

} // namespace zarn_test

#endif
