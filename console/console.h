// The program's run: start-up, the failure messages, the zero point and
// the display loop. The road of one report through all of weigh, and which
// thread writes what, is in the README's "Inside weigh".
#ifndef WEIGH_CONSOLE_H
#define WEIGH_CONSOLE_H

#include <cstddef>
#include <cstdint>

// Zero points, taken from the raw words on every pass while A is held.
extern int32_t tareRf, tareRb, tareLf, tareLb;
// The last pass's loads relative to the zero points, and their sum.
extern int32_t Mrf, Mrb, Mlf, Mlb, Msum;

// Opens the board and makes it ready for weighing, with the continuous
// reader running. 1 on success; 0 after the failed open check, when the
// user has been told and the device is closed.
int32_t StartWeighing();

// One pass of the display loop without its sleep: zero point, loads, line.
// 1 when the line was written to standard output (or did not fit its
// buffer and was left out); 0 when standard output can no longer be written.
int32_t DisplayPass();

// The output line: the two button bytes, Msum in kilograms, the four loads.
constexpr char readingFormat[] = "%d,%d, Msum%5.1f(kg), Mrf% 5d, Mrb% 5d, Mlf% 5d, Mlb% 5d\n";

// Forms the output line from the current buttons and loads; returns its
// length as snprintf does.
int FormatReading(char* line, size_t size);

// The whole run: 1 after a failed start. Otherwise it never returns, but
// ends the process with status 1 once standard output can no longer be
// written.
int WeighMain();

#endif
