// What the page's bridge files share (web/README.md): the stop hook that
// hands the worker's script each step of a long call. Text goes out as JSON
// through words/'s one escaper (tex_json_string).
#ifndef MORVEX_WEB_BRIDGE_HPP
#define MORVEX_WEB_BRIDGE_HPP

#include <cstdint>

namespace web {

// A long call's steps: the stop hook counts them and asks the worker's
// script, which follows the progress and says whether to stop.
struct steps {
    std::uint32_t done = 0;
    std::uint32_t total = 0;
};

// morvex_tex_stop_fn over a `steps`.
int stop_hook(void* context);

}  // namespace web

#endif
