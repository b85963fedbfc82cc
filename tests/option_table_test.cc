// The shared command-line parser: values, ranges, refusals and help.
#include "cli/option_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

struct Values {
  bool quiet = false, echo = true;
  std::string out = "default";
  int count = 3, device = 0;
  double gain = 0, at = -1;
  std::vector<std::string> files;
};

cli::Command TestCommand(Values *v) {
  return {"tool", "[options]", "A tool for the test.",
          {cli::Flag("quiet", &v->quiet, "no progress line"),
           cli::Flag("no-echo", &v->echo, "no echo path", false),
           cli::Flag("no-pause", &v->quiet, "no pause"),
           cli::Text("out", &v->out, "DIR", "output folder"),
           cli::Heading("Numbers:"),
           cli::Int("count", &v->count, 1, 64, "N", "how many"),
           cli::Number("gain", &v->gain, -60, 10, "DB", "level\nagainst the far end"),
           cli::Time("at", &v->at, 0, INFINITY, "T", "when"),
           cli::Choice("devices", &v->device, "sim|pulse", "which devices"),
           cli::Call("file", "WAV", "repeat for more",
                     [v](const char *value, std::string *why) {
                       if (v->files.size() == 2) return *why = "at most 2 files", false;
                       return v->files.push_back(value), true;
                     })}};
}

// Runs the parser on args (the program name added), capturing both streams.
struct Outcome { cli::Parsed parsed; std::string out, err; std::vector<size_t> seen; };

Outcome RunParser(const cli::Command &command, std::vector<std::string> args) {
  args.insert(args.begin(), "tool");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Outcome run;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run.parsed = cli::Parse(int(args.size()), argv.data(), command, &run.seen);
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

Outcome ParseArgs(Values *v, std::vector<std::string> args) { return RunParser(TestCommand(v), std::move(args)); }

const char kUsage[] = "usage: tool [options] (--help lists the options)\n";

TEST(OptionTable, StoresEveryKindOfValue) {
  Values v;
  Outcome r = ParseArgs(&v, {"--quiet", "--no-echo", "--out", "x", "--count=64", "--gain", "-60",
                         "--at", "500ms", "--devices", "pulse", "--file", "a.wav", "--file", "b.wav"});
  ASSERT_EQ(r.parsed, cli::Parsed::kRun) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(std::make_tuple(v.quiet, v.echo, v.out, v.count, v.gain, v.device),
            std::make_tuple(true, false, std::string("x"), 64, -60.0, 1));
  EXPECT_DOUBLE_EQ(v.at, 0.5);
  EXPECT_EQ(v.files, (std::vector<std::string>{"a.wav", "b.wav"}));
  // Table indices in the order given (the heading is index 4).
  EXPECT_EQ(r.seen, (std::vector<size_t>{0, 1, 3, 5, 6, 7, 8, 9, 9}));
  // A unique prefix names its option; the other bounds are inclusive too.
  Values w;
  r = ParseArgs(&w, {"--cou", "1", "--q", "--gain", "10"});
  ASSERT_EQ(r.parsed, cli::Parsed::kRun) << r.err;
  EXPECT_EQ(std::make_tuple(w.count, w.quiet, w.gain), std::make_tuple(1, true, 10.0));
  for (auto [text, seconds] : std::vector<std::pair<const char *, double>>{{"3", 3}, {"2.5s", 2.5}, {"0", 0}}) {
    ASSERT_EQ(ParseArgs(&w, {"--at", text}).parsed, cli::Parsed::kRun) << text;
    EXPECT_DOUBLE_EQ(w.at, seconds) << text;
  }
}

// Each case's arguments are refused with its message and the usage line on
// standard error, nothing on standard output, and no value is stored (none
// after a stray argument either).
TEST(OptionTable, RefusesWithTheReasonAndTheUsageLine) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--nope"}, "unknown option '--nope'"},
      {{"-x"}, "unknown option '-x'"},
      {{"--quiet=1"}, "option --quiet takes no value"},
      {{"--no"}, "ambiguous option '--no' (--no-echo, --no-pause)"},
      {{"stray", "--count", "4"}, "unexpected argument 'stray'"},
      {{"--count"}, "option --count needs a value"},
      {{"--count", "4x"}, "option --count wants a whole number, not '4x'"},
      {{"--gain", ""}, "option --gain wants a number, not ''"},
      {{"--gain", "nan"}, "option --gain wants a number, not 'nan'"},
      {{"--at", "3min"}, "option --at wants a time like 3s or 500ms, not '3min'"},
      {{"--devices", "sim|pulse"}, "option --devices wants sim|pulse, not 'sim|pulse'"},
      {{"--file", "a", "--file", "b", "--file", "c"}, "at most 2 files"},
      {{"--count", "0"}, "option --count wants a whole number 1..64, not '0'"},
      {{"--count", "65"}, "option --count wants a whole number 1..64, not '65'"},
      {{"--count", "99999999999999999999"}, "option --count wants a whole number 1..64, not '99999999999999999999'"},
      {{"--gain", "10.001"}, "option --gain wants a number -60..10, not '10.001'"},
      {{"--at", "-1ms"}, "option --at wants a time >= 0, not '-1ms'"},
  };
  for (const auto &[args, why] : cases) {
    Values v;
    Outcome r = ParseArgs(&v, args);
    EXPECT_EQ(r.parsed, cli::Parsed::kBad) << why;
    EXPECT_EQ(r.err, "tool: " + why + "\n" + kUsage);
    EXPECT_EQ(std::make_tuple(r.out, v.count, v.gain), std::make_tuple(std::string(), 3, 0.0)) << why;
  }
  EXPECT_EQ(cli::ExitStatus(cli::Parsed::kBad), 2);
  Values v;
  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::Refuse(TestCommand(&v), "--at wants --file"), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("tool: --at wants --file\n") + kUsage);
}

TEST(OptionTable, HelpListsEveryOptionOnStandardOutput) {
  for (const char *help : {"--help", "-h"}) {
    Values v;
    Outcome r = ParseArgs(&v, {"--count", "5", help, "--nope"});
    EXPECT_EQ(r.parsed, cli::Parsed::kHelp);
    EXPECT_EQ(cli::ExitStatus(r.parsed), 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "usage: tool [options]\n"
              "A tool for the test.\n"
              "  --quiet                   no progress line\n"
              "  --no-echo                 no echo path\n"
              "  --no-pause                no pause\n"
              "  --out DIR                 output folder\n"
              "Numbers:\n"
              "  --count N                 how many [1..64]\n"
              "  --gain DB                 level\n"
              "                            against the far end [-60..10]\n"
              "  --at T                    when\n"
              "  --devices sim|pulse       which devices\n"
              "  --file WAV                repeat for more\n"
              "  --help                    this text\n");
  }
}

// A handler on a typed option sees each value once stored: a repeated time
// becomes a list, and the handler may still refuse it.
TEST(OptionTable, HandlerAfterATypedValueCollectsRepeats) {
  double at = 0;
  std::vector<double> times;
  cli::Option o = cli::Time("at", &at, 0, 10, "T", "when");
  o.call = [&](const char *, std::string *why) {
    if (at == 7) return *why = "not at 7 s", false;
    return times.push_back(at), true;
  };
  const cli::Command command{"tool", "[options]", "", {o}};
  Outcome r = RunParser(command, {"--at", "2", "--at", "500ms", "--at", "11"});
  EXPECT_EQ(r.parsed, cli::Parsed::kBad);
  EXPECT_EQ(r.err, std::string("tool: option --at wants a time 0..10, not '11'\n") + kUsage);
  EXPECT_EQ(times, (std::vector<double>{2, 0.5}));
  r = RunParser(command, {"--at", "7"});
  EXPECT_EQ(r.parsed, cli::Parsed::kBad);
  EXPECT_EQ(r.err, std::string("tool: not at 7 s\n") + kUsage);
}

}  // namespace
