// The output line read back, for the tests, the benchmarks and the
// scenarios' checker: the program only writes it (FormatReading).
#ifndef WEIGH_READING_H
#define WEIGH_READING_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "console.h"

// The values of one output line.
struct Reading {
    int buttons1, buttons2;
    int32_t Msum, Mrf, Mrb, Mlf, Mlb;
};

// True when line (its newline optional) is one that readingFormat gives,
// byte for byte, for button bytes 0..255 and a total that is the sum of
// the four loads; its values are then in *reading.
inline bool ParseReading(std::string_view line, Reading* reading) {
    char text[160];
    if (line.size() >= sizeof text)
        return false;
    std::memcpy(text, line.data(), line.size());
    text[line.size()] = '\0';
    Reading r{};
    double kilograms = 0;
    if (std::sscanf(text, "%d,%d, Msum%lf(kg), Mrf%d, Mrb%d, Mlf%d, Mlb%d", &r.buttons1, &r.buttons2, &kilograms,
                    &r.Mrf, &r.Mrb, &r.Mlf, &r.Mlb) != 7)
        return false;
    if (r.buttons1 < 0 || r.buttons1 > 255 || r.buttons2 < 0 || r.buttons2 > 255)
        return false;
    int64_t sum = int64_t{r.Mrf} + r.Mrb + r.Mlf + r.Mlb;
    if (sum < INT32_MIN || sum > INT32_MAX)
        return false;
    r.Msum = static_cast<int32_t>(sum);
    char again[160];
    int length = std::snprintf(again, sizeof again, readingFormat, r.buttons1, r.buttons2,
                               static_cast<double>(r.Msum) / 100.0, r.Mrf, r.Mrb, r.Mlf, r.Mlb);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof again)
        return false;
    std::string_view expected(again, static_cast<size_t>(length));
    if (line != expected && line != expected.substr(0, expected.size() - 1))
        return false;
    *reading = r;
    return true;
}

#endif
