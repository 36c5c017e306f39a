#pragma once

#include <QtGlobal>

// A time or size limit that the environment may only make smaller: the value
// of the variable when it is a positive whole number, at most defaultValue;
// defaultValue when the variable is unset, empty or not such a number. Tests
// shorten deadlines and caps this way; nothing can lengthen or lift them.
qint64 envLimit(const char *name, qint64 defaultValue);
