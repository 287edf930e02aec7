// The stop hook of the worker's long calls (web/bridge.hpp).
#include "web/bridge.hpp"

#include <emscripten/emscripten.h>

// The worker's script (worker.js: Module.morvexPoll) is told of each step
// and answers 1 to stop, 0 to go on, or -1 to have its messages let in
// first: the stop hook then waits a moment (emscripten_sleep: the module is
// built with -sASYNCIFY, so that this call can wait), which is how Cancel
// reaches a call already running, and asks again.
EM_JS(int, web_poll, (std::uint32_t done, std::uint32_t total, int settled),
      { return Module.morvexPoll(done, total, settled !== 0); });

namespace web {

int stop_hook(void* context)
{
    steps& s = *static_cast<steps*>(context);
    int stop = web_poll(s.done, s.total, 0);
    if (stop < 0) {
        emscripten_sleep(1);
        stop = web_poll(s.done, s.total, 1);
    }
    ++s.done;
    return stop;
}

}  // namespace web
