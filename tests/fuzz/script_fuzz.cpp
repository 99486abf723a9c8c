// Any text as a simulated board's script: the parser either refuses it
// with a reason or yields stretches in time order whose every moment is a
// state the board can send.
#include <cstdint>
#include <string_view>

#include "rule.h"
#include "sim/script.h"

namespace {

void CheckMoment(const sim::Script& script, int64_t ms) {
    sim::Moment moment = sim::MomentAt(script, ms);
    for (int32_t load : moment.loads)
        Check(load >= 0 && load <= 65535, "loads in 0..65535");
    Check(moment.rate >= 0 && moment.rate <= 1000000, "rate in range");
    Check(moment.faultEndMs == -1 || moment.faultEndMs > ms, "a current fault ends after now");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::Script script;
    std::string error;
    if (!sim::ParseScript(text, &script, &error)) {
        Check(error.rfind("line ", 0) == 0, "a refusal names its line");
        return 0;
    }
    int64_t previous = 0;
    for (const sim::Step& step : script.steps) {
        Check(step.startMs >= previous, "stretches in time order");
        Check(step.durationMs >= -1, "durations are lengths or for good");
        previous = step.startMs;
    }
    Check(script.lengthMs >= -1, "length");
    for (int64_t ms :
         {int64_t{0}, int64_t{1}, previous, previous + 1, script.lengthMs, script.lengthMs + 1, int64_t{1} << 50})
        if (ms >= 0)
            CheckMoment(script, ms);
    return 0;
}
