// The configuration file that --config FILE names: the command line's
// options, one a line, so that a service's command line stays short.
//
//   # a comment: a line whose first non-blank character is '#'
//   listen = 0.0.0.0:2525
//   upstream 192.0.2.25:25
//   insert-text = "X-Virus-Scanned: divivez-proxy\r\n"
//
// A line holds an option's long name (the leading "--" may be left out),
// then "=" or blanks, then the value: the rest of the line without the
// blanks around it. A value in double quotes keeps its blanks and may be
// empty; a value that opens a quote must close it at its end; '#' after the
// name is part of the value. Every line is checked on its own, so an error
// names it ("FILE:LINE: ..."); the command line's own options (--help,
// --version, --config) cannot be given in a file, nor an option twice (but
// those that add a value each time, such as --scanner's pool), nor a NUL
// byte. The file must be a regular file: a FIFO or a device is refused
// unread.
//
// A flag is written bare ("require-tls") or with yes or no
// ("require-tls = no").
//
// A line "[route NAME]" opens a route section: a set of listeners with its
// own upstream and TLS, NAME of letters, digits, '-' and '_'. Its lines,
// up to the next section, take the options the table marks as a route's
// (those that add a value once per value; the others once per section); any
// other option is the top level's and refused there. The top level's lines come
// before the first section.
//
// The command line wins over the top level: an option given there is not
// taken from the file's top level at all, so a repeatable option's values
// come from one of the two. The command line cannot name a route's settings;
// a route takes the TLS settings it does not name from the top level as the
// command line leaves it.
// Relative paths in the file are taken from the working directory, like
// those of the command line.
#ifndef DIVIVEZ_HOST_CONFIG_FILE_H_
#define DIVIVEZ_HOST_CONFIG_FILE_H_

#include <string>
#include <vector>

#include "host/options.h"

// The file's top-level option lines as arguments, as if given on the
// command line: {"--name", "value"} for each ({"--name"} for a line without
// a value; a flag's value is yes or no), and its route sections in order.
// fileName is for the error text only.
bool ConfigFileArguments(const std::string& text, const std::string& fileName,
                         std::vector<std::vector<std::string>>* lines,
                         std::vector<RouteSection>* routes, std::string* error);

// The arguments after the program name: ParseOptions, with the file that
// --config names read first and the command line's options over it. False
// with a one-line *error.
bool ParseCommandLine(const std::vector<std::string>& args, Options* options, std::string* error);

#endif  // DIVIVEZ_HOST_CONFIG_FILE_H_
