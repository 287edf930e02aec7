// What a program may write over: the one policy for every output named by a
// path the user gave (the packer's archive, the gallery's page), whatever
// the system. The system halves only say what is under the name
// (system_look_under); what may be done with it is decided here, in this
// order: the run's own inputs are never written over, under any name;
// streams (a device, FIFO or socket, or a link to one, and "-") are written
// through, never replaced; a folder is refused; a file of another kind, or a
// name that ends in an image extension, is refused unless forced; a link is
// replaced, not followed. What is written is then placed as every output is
// (output.cpp): complete, in one step.
#include "files/files.hpp"
#include "files/output_system.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string_view>

bool output_holds_kind(std::span<const std::uint8_t> leading, output_kind kind)
{
    if (leading.empty()) return true;
    if (kind == output_kind::archive) {
        return tex_recognised(leading);
    }
    // A page: its doctype or its root element first, after a byte order mark
    // and white space, in any letter case.
    std::size_t at = leading.size() >= 3 && leading[0] == 0xEF && leading[1] == 0xBB && leading[2] == 0xBF ? 3 : 0;
    while (at < leading.size() && (leading[at] == ' ' || leading[at] == '\t' || leading[at] == '\r' || leading[at] == '\n')) {
        ++at;
    }
    const auto starts = [&](std::string_view word) {
        if (leading.size() - at < word.size()) return false;
        for (std::size_t k = 0; k < word.size(); ++k) {
            if (std::tolower(leading[at + k]) != word[k]) return false;
        }
        return true;
    };
    return starts("<!doctype html") || starts("<html");
}

namespace {

bool is_input(const output_policy& policy, bool known, const file_identity& id)
{
    return known && std::find(policy.inputs.begin(), policy.inputs.end(), id) != policy.inputs.end();
}

// A stream the output is copied into once complete, from a spool in the
// temporary folder that goes when it is closed.
int begin_stream(int stream, path_output& out)
{
    out.stream_fd = stream;
    out.file.fd.reset(tex_temporary_file());
    return out.file.fd >= 0 ? 0 : -1;
}

}  // namespace

int output_begin_path(const std::string& path, const output_policy& policy, path_output& out, path_refusal& why)
{
    why = path_refusal::none;
    const bool force = policy.force;
    if (path == "-") {
        system_look standard_output;
        if (system_is_terminal(1)) {
            why = path_refusal::terminal;
            return -1;
        }
        if (system_look_fd(1, standard_output) == 0 && standard_output.kind == system_kind::regular &&
            is_input(policy, standard_output.identity_known, standard_output.identity)) {
            why = path_refusal::input;
            return -1;
        }
        return begin_stream(1, out);
    }
    std::string folder;
    system_split_path(path, folder, out.file.base);
    const std::string& base = out.file.base;
    if (base.empty() || base == "." || base == "..") {
        why = path_refusal::folder;
        return -1;
    }
    // A device outside every folder (Windows': NUL, a serial port, the
    // console, a named pipe) is written through, never replaced.
    const int device = system_open_device(path, base, out.own_stream);
    if (device < 0) return -1;
    if (device > 0) {
        if (system_is_terminal(out.own_stream)) {
            out.own_stream.reset();
            why = path_refusal::terminal;
            return -1;
        }
        return begin_stream(out.own_stream, out);
    }
    // The folder is the user's to name, links and all; what is under the
    // name in it is looked at without following anything.
    out.file.dir.reset(system_open_folder_path(folder, false));
    out.file.dir_fd = out.file.dir;
    if (out.file.dir_fd < 0) return -1;
    system_look there;
    if (system_look_under(out.file.dir_fd, base, !force, there) != 0) return -1;
    if (there.kind != system_kind::none) {
        // An input is never written over, under its own name, another name
        // of it, or a link to it.
        if (is_input(policy, there.identity_known, there.identity) || is_input(policy, there.target_known, there.target)) {
            why = path_refusal::input;
            return -1;
        }
        const bool link_to_stream = there.target_known && there.target_kind == system_kind::stream;
        if (there.kind == system_kind::stream || link_to_stream || (there.kind == system_kind::block && force)) {
            // Written through, never replaced: a device stays a device.
            out.own_stream.reset(system_open_to_write(out.file.dir_fd, base, link_to_stream));
            if (out.own_stream < 0) return -1;
            system_look opened;
            if (system_look_fd(out.own_stream, opened) != 0 ||
                (opened.kind != system_kind::stream && opened.kind != system_kind::block) ||
                is_input(policy, opened.identity_known, opened.identity)) {
                out.own_stream.reset();
                errno = EAGAIN;  // it changed while looked at
                return -1;
            }
            return begin_stream(out.own_stream, out);
        }
        if (there.kind == system_kind::folder) {
            why = path_refusal::folder;
            return -1;
        }
        out.replaces = true;
        const bool of_kind = there.kind == system_kind::regular &&
                             (policy.kind == output_kind::image
                                  ? image_format_for(base, image_use::write) != image_format::none
                                  : there.leading_known &&
                                        output_holds_kind(std::span(there.leading.data(), there.leading_size), policy.kind));
        if (!force && there.kind != system_kind::link && !of_kind) {
            why = path_refusal::other_kind;
            return -1;
        }
    }
    if (!force && policy.kind != output_kind::image && image_format_for(base, image_use::read) != image_format::none) {
        why = path_refusal::image_name;
        return -1;
    }
    if (output_create(out.file) != 0) return -1;
    if (output_test.after_create) output_test.after_create(path);
    return 0;
}

int output_keep_owner(path_output& out, int from)
{
    if (out.stream_fd >= 0) return 0;
    return system_copy_owner(from, out.file.fd);
}

int output_commit_path(path_output& out, bool replace)
{
    if (out.stream_fd < 0) return output_commit(out.file, replace);
    if (system_copy_to_stream(out.file.fd, out.stream_fd) != 0) return -1;
    output_drop(out.file);
    if (out.own_stream >= 0) {
        out.stream_fd = -1;
        if (out.own_stream.close() != 0 && errno != EINTR) return -1;
    }
    return 0;
}
