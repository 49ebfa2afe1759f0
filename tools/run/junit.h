// The report serivane-run writes with --junit, for CI systems that read JUnit XML: one
// <testsuite> per port, one <testcase> per test that ran and per check, a <failure> with the
// result lines and the diagnosis for each that failed, an <error> for a port that could not be
// used, <skipped> for a selected test the run was stopped before and for a check it stopped.
// Whatever bytes a port name, a path or a line holds, the file is well-formed XML 1.0 in UTF-8.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/run/port_run.h"
#include "tools/run/report.h"

namespace serivane::run {

// Every JUnit report of this program begins with these bytes; a file that does is one an earlier
// run wrote, and may be replaced.
inline constexpr std::string_view kJunitStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"serivane-run\"";

// The whole document. `ports` in the order given on the command line.
std::string JunitXml(const std::vector<PortOutcome>& ports, const RunFacts& facts);

// Writes `xml` to `out` when `target` is "-", else in place of the file `target`, whole, under
// the rules of the JSON report. Answers "" or what failed.
std::string WriteJunit(const std::string& xml, const std::string& target, std::ostream& out);

// `text` as XML character data, also fit for an attribute value in double quotes. Valid UTF-8
// passes through; markup characters become references, and so do tab, line feed and carriage
// return (`attribute`: all three; else only the carriage return, which a reader would turn into a
// line feed). A byte that is not part of valid UTF-8 stands for the character of the same code,
// as in the JSON report. Characters XML 1.0 does not allow anywhere show as their visible
// stand-ins: the control pictures U+2400 to U+241F for the C0 controls, U+FFFD for U+FFFE and
// U+FFFF. DEL and the C1 controls, allowed but invisible, are written as references.
std::string XmlEscape(std::string_view text, bool attribute);

}  // namespace serivane::run
