// The shared command-line parser: values, ranges, refusals and help.
#include "cli/option_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using testing::HasSubstr;

namespace {

struct Values {
  bool quiet = false, echo = true;
  std::string out = "default";
  int count = 3;
  double gain = 0, at = -1;
  int device = 0;
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
                       if (v->files.size() == 2) {
                         *why = "at most 2 files";
                         return false;
                       }
                       v->files.push_back(value);
                       return true;
                     })}};
}

// Runs the parser on args (the program name added), capturing both streams.
struct Outcome {
  cli::Parsed parsed;
  std::string out, err;
  std::vector<size_t> seen;
};

Outcome ParseArgs(Values *v, std::vector<std::string> args) {
  args.insert(args.begin(), "tool");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Outcome run;
  const cli::Command command = TestCommand(v);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run.parsed = cli::Parse(int(args.size()), argv.data(), command, &run.seen);
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

const char kUsage[] = "usage: tool [options] (--help lists the options)\n";

TEST(OptionTable, StoresEveryKindOfValue) {
  Values v;
  Outcome r = ParseArgs(&v, {"--quiet", "--no-echo", "--out", "x", "--count=64", "--gain", "-60",
                         "--at", "500ms", "--devices", "pulse", "--file", "a.wav", "--file", "b.wav"});
  ASSERT_EQ(r.parsed, cli::Parsed::kRun) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(v.quiet);
  EXPECT_FALSE(v.echo);
  EXPECT_EQ(v.out, "x");
  EXPECT_EQ(v.count, 64);
  EXPECT_EQ(v.gain, -60);
  EXPECT_DOUBLE_EQ(v.at, 0.5);
  EXPECT_EQ(v.device, 1);
  EXPECT_EQ(v.files, (std::vector<std::string>{"a.wav", "b.wav"}));
  // Table indices in the order given (the heading is index 4).
  EXPECT_EQ(r.seen, (std::vector<size_t>{0, 1, 3, 5, 6, 7, 8, 9, 9}));
}

TEST(OptionTable, NoArgumentsKeepsTheDefaults) {
  Values v;
  Outcome r = ParseArgs(&v, {});
  ASSERT_EQ(r.parsed, cli::Parsed::kRun);
  EXPECT_EQ(v.out, "default");
  EXPECT_EQ(v.count, 3);
  EXPECT_TRUE(r.seen.empty());
}

TEST(OptionTable, TimesTakeSecondsOrMilliseconds) {
  for (auto [text, seconds] : std::vector<std::pair<const char *, double>>{
           {"3", 3}, {"3s", 3}, {"2.5s", 2.5}, {"500ms", 0.5}, {"0", 0}}) {
    Values v;
    ASSERT_EQ(ParseArgs(&v, {"--at", text}).parsed, cli::Parsed::kRun) << text;
    EXPECT_DOUBLE_EQ(v.at, seconds) << text;
  }
}

TEST(OptionTable, RefusesUnknownOptionsWithTheUsageLine) {
  for (const char *bad : {"--nope", "--quiet=1x", "-x", "--nope=3"}) {
    Values v;
    Outcome r = ParseArgs(&v, {"--quiet", bad});
    EXPECT_EQ(r.parsed, cli::Parsed::kBad) << bad;
    EXPECT_EQ(cli::ExitStatus(r.parsed), 2);
    EXPECT_THAT(r.err, HasSubstr(kUsage)) << bad;
    EXPECT_EQ(r.out, "");
  }
  Values v;
  EXPECT_EQ(ParseArgs(&v, {"--nope"}).err, std::string("tool: unknown option '--nope'\n") + kUsage);
  EXPECT_EQ(ParseArgs(&v, {"-x"}).err, std::string("tool: unknown option '-x'\n") + kUsage);
  EXPECT_EQ(ParseArgs(&v, {"--quiet=1"}).err,
            std::string("tool: option --quiet takes no value\n") + kUsage);
}

// A unique prefix names its option; a prefix of several is refused, naming them.
TEST(OptionTable, AcceptsAUniquePrefixAndRefusesAnAmbiguousOne) {
  Values v;
  Outcome r = ParseArgs(&v, {"--cou", "9", "--q"});
  ASSERT_EQ(r.parsed, cli::Parsed::kRun) << r.err;
  EXPECT_EQ(v.count, 9);
  EXPECT_TRUE(v.quiet);
  for (const char *arg : {"--no", "--no=1"}) {
    r = ParseArgs(&v, {arg});
    EXPECT_EQ(r.parsed, cli::Parsed::kBad);
    EXPECT_EQ(r.err, std::string("tool: ambiguous option '--no' (--no-echo, --no-pause)\n") + kUsage);
  }
}

TEST(OptionTable, RefusesArgumentsThatAreNotOptions) {
  Values v;
  Outcome r = ParseArgs(&v, {"--count", "4", "stray", "--quiet"});
  EXPECT_EQ(r.parsed, cli::Parsed::kBad);
  EXPECT_EQ(r.err, std::string("tool: unexpected argument 'stray'\n") + kUsage);
  EXPECT_FALSE(v.quiet);  // nothing after the stray argument is read
}

TEST(OptionTable, RefusesAMissingValue) {
  Values v;
  Outcome r = ParseArgs(&v, {"--count"});
  EXPECT_EQ(r.parsed, cli::Parsed::kBad);
  EXPECT_EQ(r.err, std::string("tool: option --count needs a value\n") + kUsage);
}

using Cases = std::vector<std::pair<std::vector<std::string>, std::string>>;

// Each case's arguments are refused with its message and the usage line,
// and no value is stored.
void ExpectRefused(const Cases &cases) {
  for (const auto &[args, why] : cases) {
    Values v;
    Outcome r = ParseArgs(&v, args);
    EXPECT_EQ(r.parsed, cli::Parsed::kBad) << why;
    EXPECT_EQ(r.err, "tool: " + why + "\n" + kUsage);
    EXPECT_EQ(v.count, 3);
    EXPECT_EQ(v.gain, 0);
  }
}

TEST(OptionTable, RefusesMalformedValues) {
  ExpectRefused({
      {{"--count", "x"}, "option --count wants a whole number, not 'x'"},
      {{"--count", "4x"}, "option --count wants a whole number, not '4x'"},
      {{"--count", "2.5"}, "option --count wants a whole number, not '2.5'"},
      {{"--gain", ""}, "option --gain wants a number, not ''"},
      {{"--gain", "nan"}, "option --gain wants a number, not 'nan'"},
      {{"--at", "3 s"}, "option --at wants a time like 3s or 500ms, not '3 s'"},
      {{"--at", "3min"}, "option --at wants a time like 3s or 500ms, not '3min'"},
      {{"--devices", "alsa"}, "option --devices wants sim|pulse, not 'alsa'"},
      {{"--devices", "sim|pulse"}, "option --devices wants sim|pulse, not 'sim|pulse'"},
      {{"--file", "a", "--file", "b", "--file", "c"}, "at most 2 files"},
  });
}

TEST(OptionTable, RefusesValuesOutOfRangeAndKeepsTheBoundsInclusive) {
  ExpectRefused({
      {{"--count", "0"}, "option --count wants a whole number 1..64, not '0'"},
      {{"--count", "65"}, "option --count wants a whole number 1..64, not '65'"},
      {{"--count", "99999999999999999999"}, "option --count wants a whole number 1..64, not '99999999999999999999'"},
      {{"--gain", "10.001"}, "option --gain wants a number -60..10, not '10.001'"},
      {{"--at", "-1ms"}, "option --at wants a time >= 0, not '-1ms'"},
  });
  Values v;
  EXPECT_EQ(ParseArgs(&v, {"--count", "1", "--gain", "10"}).parsed, cli::Parsed::kRun);
  EXPECT_EQ(v.count, 1);
  EXPECT_EQ(v.gain, 10);
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
    times.push_back(at);
    return true;
  };
  const cli::Command command{"tool", "[options]", "", {o}};
  std::vector<std::string> args = {"tool", "--at", "2", "--at", "500ms", "--at", "11"};
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::Parse(int(argv.size()), argv.data(), command), cli::Parsed::kBad);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("tool: option --at wants a time 0..10, not '11'\n") + kUsage);
  EXPECT_EQ(times, (std::vector<double>{2, 0.5}));
  args[6] = "7";
  argv.clear();
  for (std::string &a : args) argv.push_back(a.data());
  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::Parse(int(argv.size()), argv.data(), command), cli::Parsed::kBad);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("tool: not at 7 s\n") + kUsage);
}

TEST(OptionTable, RefuseNamesTheToolAndPrintsTheUsageLine) {
  Values v;
  const cli::Command command = TestCommand(&v);
  testing::internal::CaptureStderr();
  EXPECT_EQ(cli::Refuse(command, "--at wants --file"), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("tool: --at wants --file\n") + kUsage);
}

}  // namespace
