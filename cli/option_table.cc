#include "option_table.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cli {
namespace {

// getopt_long returns this plus the option's index in the table.
constexpr int kFirstOption = 0x100;
constexpr int kHelpColumn = 28;

std::string Format(const char *fmt, double v) {
  char text[32];
  snprintf(text, sizeof text, fmt, v);
  return text;
}

bool OpenTop(const Option &o) {
  return std::isinf(o.hi) || (o.arg == Arg::kInt && o.hi >= INT_MAX);
}

// "lo..hi" or ">= lo".
std::string RangeText(const Option &o) {
  if (OpenTop(o)) return ">= " + Format("%g", o.lo);
  return Format("%g", o.lo) + ".." + Format("%g", o.hi);
}

bool ReadNumber(const char *text, double *value) {
  errno = 0;
  char *end = nullptr;
  const double v = strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool ReadTime(const char *text, double *seconds) {
  errno = 0;
  char *end = nullptr;
  const double v = strtod(text, &end);
  if (end == text || errno != 0 || !std::isfinite(v)) return false;
  double scale = 1.0;
  if (strcmp(end, "ms") == 0) scale = 0.001;
  else if (*end != '\0' && strcmp(end, "s") != 0) return false;
  *seconds = v * scale;
  return true;
}

// Index of value among the '|'-separated choices, or -1.
int ChoiceIndex(const char *choices, const char *value) {
  const size_t n = strlen(value);
  int index = 0;
  for (const char *p = choices;; ++index) {
    const char *bar = strchr(p, '|');
    const size_t len = bar ? size_t(bar - p) : strlen(p);
    if (len == n && strncmp(p, value, n) == 0) return index;
    if (!bar) return -1;
    p = bar + 1;
  }
}

bool StoreValue(const Option &o, const char *value, std::string *why) {
  const std::string dashed = std::string("--") + o.name;
  double v = 0;
  switch (o.arg) {
    case Arg::kNone:
      *static_cast<bool *>(o.target) = o.flag_value;
      return true;
    case Arg::kText:
      *static_cast<std::string *>(o.target) = value;
      return true;
    case Arg::kInt:
    case Arg::kNumber:
    case Arg::kTime: {
      const bool whole = o.arg == Arg::kInt;
      const bool read = o.arg == Arg::kTime ? ReadTime(value, &v) : ReadNumber(value, &v);
      if (read && whole && v != std::floor(v)) {
        *why = "option " + dashed + " wants a whole number, not '" + value + "'";
        return false;
      }
      const char *kind = o.arg == Arg::kTime ? "a time" : whole ? "a whole number" : "a number";
      if (!read) {
        *why = "option " + dashed + " wants " +
               (o.arg == Arg::kTime ? "a time like 3s or 500ms" : kind) + ", not '" + value + "'";
        return false;
      }
      if (!(v >= o.lo && v <= o.hi)) {
        *why = "option " + dashed + " wants " + kind + " " + RangeText(o) + ", not '" + value + "'";
        return false;
      }
      if (whole) *static_cast<int *>(o.target) = static_cast<int>(v);
      else *static_cast<double *>(o.target) = v;
      return true;
    }
    case Arg::kChoice: {
      const int index = ChoiceIndex(o.meta, value);
      if (index < 0) {
        *why = "option " + dashed + " wants " + o.meta + ", not '" + value + "'";
        return false;
      }
      *static_cast<int *>(o.target) = index;
      return true;
    }
    case Arg::kCall:
      return o.call(value, why);
  }
  return false;
}

// Stores value in the option's target, then runs its handler; false with
// *why on a bad value.
bool Store(const Option &o, const char *value, std::string *why) {
  if (!StoreValue(o, value, why)) return false;
  return o.arg == Arg::kCall || !o.call || o.call(value, why);
}

bool TakesValue(const Option &o) {
  return o.arg == Arg::kCall ? o.takes_value : o.arg != Arg::kNone;
}

// getopt_long takes a unique prefix of a name; a prefix of several is
// refused as unknown. Says which.
std::string UnknownOption(const Command &command, const std::string &arg) {
  const std::string given = arg.substr(0, arg.find('='));
  std::string names;
  for (const Option &o : command.options)
    if (o.name && given.size() > 2 && (std::string("--") + o.name).rfind(given, 0) == 0)
      names += std::string(names.empty() ? "" : ", ") + "--" + o.name;
  if (names.find(',') != std::string::npos)
    return "ambiguous option '" + given + "' (" + names + ")";
  return "unknown option '" + arg + "'";
}

Parsed Bad(const Command &command, const std::string &why) {
  Refuse(command, why);
  return Parsed::kBad;
}

// An option that takes a value.
Option Valued(const char *name, Arg arg, void *target, const char *meta, const char *help,
              double lo = 0, double hi = 0) {
  Option o;
  o.name = name;
  o.arg = arg;
  o.target = target;
  o.meta = meta;
  o.help = help;
  o.lo = lo;
  o.hi = hi;
  return o;
}

std::string Synopsis(const Command &command) {
  std::string s = std::string("usage: ") + command.name;
  if (command.synopsis && *command.synopsis) s += std::string(" ") + command.synopsis;
  return s;
}

}  // namespace

Option Heading(const char *text) {
  Option o;
  o.help = text;
  return o;
}

Option Flag(const char *name, bool *target, const char *help, bool value) {
  Option o;
  o.name = name;
  o.target = target;
  o.help = help;
  o.flag_value = value;
  return o;
}

Option Text(const char *name, std::string *target, const char *meta, const char *help) {
  return Valued(name, Arg::kText, target, meta, help);
}

Option Int(const char *name, int *target, int lo, int hi, const char *meta, const char *help) {
  return Valued(name, Arg::kInt, target, meta, help, lo, hi);
}

Option Number(const char *name, double *target, double lo, double hi, const char *meta,
              const char *help) {
  return Valued(name, Arg::kNumber, target, meta, help, lo, hi);
}

Option Time(const char *name, double *seconds, double lo, double hi, const char *meta,
            const char *help) {
  return Valued(name, Arg::kTime, seconds, meta, help, lo, hi);
}

Option Choice(const char *name, int *index, const char *choices, const char *help) {
  return Valued(name, Arg::kChoice, index, choices, help);
}

Option Call(const char *name, const char *meta, const char *help, Handler call) {
  Option o = Valued(name, Arg::kCall, nullptr, meta ? meta : "", help);
  o.takes_value = meta != nullptr;
  o.call = std::move(call);
  return o;
}

std::string UsageLine(const Command &command) {
  return Synopsis(command) + " (--help lists the options)";
}

std::string HelpText(const Command &command) {
  std::string text = Synopsis(command) + "\n";
  if (command.summary && *command.summary) text += std::string(command.summary) + "\n";
  auto entry = [&text](const std::string &left, std::string help) {
    std::string line = "  " + left;
    if (line.size() + 1 > size_t(kHelpColumn)) {
      text += line + "\n";
      line.clear();
    }
    line.resize(kHelpColumn, ' ');
    for (size_t start = 0;;) {
      const size_t end = help.find('\n', start);
      std::string row = line + help.substr(start, end == std::string::npos ? end : end - start);
      row.erase(row.find_last_not_of(' ') + 1);
      text += row + "\n";
      if (end == std::string::npos) break;
      start = end + 1;
      line.assign(kHelpColumn, ' ');
    }
  };
  for (const Option &o : command.options) {
    if (!o.name) {
      text += std::string(o.help) + "\n";
      continue;
    }
    std::string left = std::string("--") + o.name;
    if (TakesValue(o)) left += std::string(" ") + o.meta;
    std::string help = o.help;
    if (o.arg == Arg::kInt || o.arg == Arg::kNumber || o.arg == Arg::kTime) {
      // An open range from 0 goes without saying.
      if (!OpenTop(o) || o.lo != 0) help += " [" + RangeText(o) + "]";
    }
    entry(left, help);
  }
  entry("--help", "this text");
  return text;
}

int Refuse(const Command &command, const std::string &why) {
  fprintf(stderr, "%s: %s\n%s\n", command.name, why.c_str(), UsageLine(command).c_str());
  return 2;
}

Parsed Parse(int argc, char **argv, const Command &command, std::vector<size_t> *seen) {
  std::vector<option> longs;
  for (size_t i = 0; i < command.options.size(); ++i) {
    const Option &o = command.options[i];
    if (o.name)
      longs.push_back({o.name, TakesValue(o) ? required_argument : no_argument, nullptr,
                       kFirstOption + int(i)});
  }
  longs.push_back({"help", no_argument, nullptr, 'h'});
  longs.push_back({nullptr, 0, nullptr, 0});
  // '+': stop at the first non-option (no reordering of argv); ':': report a
  // missing value apart from an unknown option. optind = 0 restarts getopt.
  opterr = 0;
  optind = 0;
  for (;;) {
    const int r = getopt_long(argc, argv, "+:h", longs.data(), nullptr);
    if (r == -1) break;
    if (r == 'h') {
      fputs(HelpText(command).c_str(), stdout);
      return Parsed::kHelp;
    }
    if (r == ':' || r == '?') {
      if (optopt >= kFirstOption) {
        const std::string dashed = std::string("--") + command.options[optopt - kFirstOption].name;
        return Bad(command, "option " + dashed + (r == ':' ? " needs a value" : " takes no value"));
      }
      if (optopt != 0) return Bad(command, std::string("unknown option '-") + char(optopt) + "'");
      return Bad(command, UnknownOption(command, argv[optind - 1]));
    }
    const size_t index = size_t(r - kFirstOption);
    std::string why;
    if (!Store(command.options[index], optarg, &why)) return Bad(command, why);
    if (seen) seen->push_back(index);
  }
  if (optind < argc) return Bad(command, std::string("unexpected argument '") + argv[optind] + "'");
  return Parsed::kRun;
}

}  // namespace cli
