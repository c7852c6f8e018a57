// The process-wide logger.
#ifndef CORVANE_MIDDLEWARE_LOGGER_H_
#define CORVANE_MIDDLEWARE_LOGGER_H_

// The process-wide logger. A message of level L is meant to be written only
// when the logger's current level is at most L; callers test `level` before
// calling logger_write, which writes unconditionally.
//
// Levels: 0 trace, 1 debug, 2 info, 3 warning, 4 error, 5 fatal, 6 off.
// The current level is read once from the environment variable
// TAVRINDDS_LOG_LEVEL; a missing or unreadable value gives 2.

enum logger_level {
  LOGGER_TRACE = 0,
  LOGGER_DEBUG = 1,
  LOGGER_INFO = 2,
  LOGGER_WARNING = 3,
  LOGGER_ERROR = 4,
  LOGGER_FATAL = 5,
  LOGGER_OFF = 6,
};

struct logger {
  int level;
};

// The one logger of the process, created on first use.
logger* logger_global();

// Writes one line to standard error: a timestamp, the level's name and the
// formatted message. The three integer arguments are reserved and passed as
// zero. Safe to call from any thread; lines never interleave.
void logger_write(logger* lg, int level, int reserved1, int reserved2, int reserved3,
                  const char* format, ...) __attribute__((format(printf, 6, 7)));

// logger_write through logger_global() when its level admits `level`.
void logger_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Parses a level text as TAVRINDDS_LOG_LEVEL is parsed: a whole decimal
// number from 0 to 6, else `fallback`.
int logger_parse_level(const char* text, int fallback);

#endif  // CORVANE_MIDDLEWARE_LOGGER_H_
