// One command-line parser for the host program and the measurement tools: a
// table of options (name, argument kind, target, help text, allowed range)
// read with getopt_long. Unknown options, missing values, malformed values
// and values out of range are refused with the tool's usage line on stderr;
// --help (or -h) prints every option on stdout.
#ifndef HX_CLI_OPTION_TABLE_H
#define HX_CLI_OPTION_TABLE_H

#include <functional>
#include <string>
#include <vector>

namespace cli {

enum class Arg {
  kNone,     // a flag: *bool becomes Option::flag_value
  kText,     // *std::string
  kInt,      // *int, a whole number in [lo, hi]
  kNumber,   // *double in [lo, hi]
  kTime,     // *double seconds in [lo, hi]: "3", "3s", "2.5s" or "500ms"
  kChoice,   // *int: index of the value in Option::meta, e.g. "sim|pulse"
  kCall,     // Option::call(value) decides; value is null when takes_value is false
};

// Reads a value for an Arg::kCall option; false with *why set refuses it.
using Handler = std::function<bool(const char *value, std::string *why)>;

struct Option {
  const char *name = nullptr;  // long name without "--"; null: a heading in the help
  Arg arg = Arg::kNone;
  void *target = nullptr;
  const char *meta = "";       // the value's name in the help ("N", "WAV", "sim|pulse")
  const char *help = "";       // may span lines ('\n')
  double lo = 0, hi = 0;       // allowed range of kInt, kNumber and kTime
  bool flag_value = true;      // what a kNone flag stores
  bool takes_value = false;    // kCall only
  // kCall: reads the value. Other kinds: runs after the value was stored,
  // e.g. to collect a repeated option's values.
  Handler call;
  int tag = 0;                 // free for the tool (e.g. a group of options)
};

// Table entries, typed.
Option Heading(const char *text);
Option Flag(const char *name, bool *target, const char *help, bool value = true);
Option Text(const char *name, std::string *target, const char *meta, const char *help);
Option Int(const char *name, int *target, int lo, int hi, const char *meta, const char *help);
Option Number(const char *name, double *target, double lo, double hi, const char *meta,
              const char *help);
Option Time(const char *name, double *seconds, double lo, double hi, const char *meta,
            const char *help);
Option Choice(const char *name, int *index, const char *choices, const char *help);
Option Call(const char *name, const char *meta, const char *help, Handler call);

struct Command {
  const char *name;                  // the program, as in its usage line
  const char *synopsis;              // after the name, e.g. "[options]"
  const char *summary;               // what the tool does, for --help
  std::vector<Option> options;
};

enum class Parsed { kRun, kHelp, kBad };

// Parses argv[1..] against the table, storing values as they come (a
// repeated option stores its last value). Options only: any other argument
// is refused. When given, *seen receives the index of each option in the
// table, in the order given. kHelp: help was printed; kBad: an error and
// the usage line were printed.
Parsed Parse(int argc, char **argv, const Command &command, std::vector<size_t> *seen = nullptr);

// The exit status after Parse: 0 after --help, 2 after an error.
inline int ExitStatus(Parsed parsed) { return parsed == Parsed::kHelp ? 0 : 2; }

// Refuses a combination of options the table cannot express: prints
// "NAME: why" and the usage line on stderr, returns the exit status 2.
int Refuse(const Command &command, const std::string &why);

std::string UsageLine(const Command &command);
std::string HelpText(const Command &command);

}  // namespace cli

#endif
