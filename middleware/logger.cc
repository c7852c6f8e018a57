// The process-wide logger: one line per message on standard error.

#include "middleware/logger.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL", "OFF"};

// Writes all of `len` bytes, retrying on short writes and signals.
void WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
}

void WriteLine(int level, const char* format, va_list args) {
  char line[1024];
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const char* name = (level >= LOGGER_TRACE && level <= LOGGER_OFF) ? kLevelNames[level] : "?";
  int len = static_cast<int>(strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &local));
  len += snprintf(line + len, sizeof line - len, ".%03ld [%s] ", now.tv_nsec / 1000000L, name);
  const int body = vsnprintf(line + len, sizeof line - len, format, args);
  // A message longer than the buffer is cut; the line still ends in a newline.
  len = (body < 0) ? len : len + body;
  if (len > static_cast<int>(sizeof line) - 2) len = static_cast<int>(sizeof line) - 2;
  line[len++] = '\n';
  // One write per line keeps lines from different threads whole.
  WriteAll(STDERR_FILENO, line, static_cast<size_t>(len));
}

}  // namespace

int logger_parse_level(const char* text, int fallback) {
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < LOGGER_TRACE || value > LOGGER_OFF) return fallback;
  return static_cast<int>(value);
}

logger* logger_global() {
  static logger instance{logger_parse_level(std::getenv("TAVRINDDS_LOG_LEVEL"), LOGGER_INFO)};
  return &instance;
}

void logger_write(logger* lg, int level, int, int, int, const char* format, ...) {
  if (lg == nullptr || format == nullptr) return;
  va_list args;
  va_start(args, format);
  WriteLine(level, format, args);
  va_end(args);
}

void logger_log(int level, const char* format, ...) {
  if (format == nullptr || logger_global()->level > level) return;
  va_list args;
  va_start(args, format);
  WriteLine(level, format, args);
  va_end(args);
}
