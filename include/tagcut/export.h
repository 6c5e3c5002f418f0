// What every public header of tagcut needs first: the C++20 check, and the
// mark that exports a declaration from the shared library (built with hidden
// visibility, so only what carries TAGCUT_EXPORT is part of its ABI).
#ifndef TAGCUT_EXPORT_H_
#define TAGCUT_EXPORT_H_

#if __cplusplus < 202002L
// A missing include is the one error that stops the compiler at once, before
// a cascade about std::span and the consumer's own calls; its name is the
// message, so the consumer reads one line that says what to do.
#include <tagcut needs C++20 or later: compile with -std=c++20 (or a newer standard)>
#endif

#define TAGCUT_EXPORT __attribute__((visibility("default")))

#endif  // TAGCUT_EXPORT_H_
