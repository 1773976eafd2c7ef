#pragma once

// The program reads and writes the two files of its data directory, and takes no file name. It
// answers --help and --version, and refuses any other argument, touching no file, rather than
// encode one file while the user named another.

enum class Request { kEncode, kHelp, kVersion, kMisuse };

[[nodiscard]] Request read_request(int argc, const char *const *argv);

// Prints what `request` asks for: the usage or the version on standard output, or, for a misuse,
// the argument refused and the usage on standard error. Returns the exit status: 0, 2 for a
// misuse, or -1 when standard output could not take the answer.
[[nodiscard]] int answer(Request request, int argc, const char *const *argv, const char *input_path,
                         const char *output_path);
