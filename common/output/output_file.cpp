// One output: its phases, the way decided at open visited at each step, the fallback to
// copy over, and the stream whose bytes reach the output.
#include "common/output/output_file.h"

#include <cerrno>
#include <cstdio>

#include "common/output/output_ways.h"

namespace suite {

using namespace output;

namespace {

// What keeps a new file from standing in the folder or carrying the old one's owner,
// flags or attributes, or the kernel from renaming it over the old one.
bool cannot_carry(int error) {
    return error == EPERM || error == EACCES || error == EROFS || error == EINVAL || error == EOPNOTSUPP ||
           error == ENOTTY;
}

enum class phase { unopened, writing, prepared, installed, ended };

}  // namespace

struct output_file::state {
    explicit state(os& sys) : t(sys) {}
    output::target t;
    output::way how;
    phase now = phase::unopened;
    outcome result;   // what the steps came to: the error, what stands, what is left
};

output_file::output_file(std::string path, os& sys) : path_(std::move(path)), state_(std::make_unique<state>(sys)) {}

output_file::~output_file() {
    discard();
}

const std::string& output_file::blamed() const {
    const over* o = std::get_if<over>(&state_->how);
    return o != nullptr && o->to_blame && !o->place.empty() ? o->place : path_;
}

namespace {

// Where the kernel will not let a new file stand for the old one, the old one is written
// over in place instead: at open (the folder takes no new file, or the new one cannot
// carry the old owner, flags or attributes) from a private file made for it; at install
// (the rename is refused) from the content already whole beside it, whose name goes
// when the output is done with.
int fall_back_to_over(target& t, way& how, outcome& result, phase now) {
    beside& b = std::get<beside>(how);
    if (now == phase::prepared)
        return install_over(t, b.content, result);
    drop_beside(t, b, result);
    return open_way(t, how.emplace<over>());
}

}  // namespace

int output_file::open() {
    state& s = *state_;
    target& t = s.t;
    int error = s.now == phase::unopened ? resolve(t, path_, s.how) : EBADF;
    if (error == 0)
        error = std::visit([&](auto& way) { return open_way(t, way); }, s.how);
    if (error != 0 && t.exists && std::holds_alternative<beside>(s.how) && cannot_carry(error))
        error = fall_back_to_over(t, s.how, s.result, s.now);
    if (error == 0 && (stream_ = fopencookie(&s, "w", {nullptr, &write_to_sink, nullptr, nullptr})) == nullptr)
        error = errno != 0 ? errno : ENOMEM;
    s.now = error == 0 ? phase::writing : phase::ended;
    if (error != 0)
        discard();
    return error;
}

// Every byte goes to the way, or its first error is kept. As the stream's contract asks,
// the count of bytes taken comes back, 0 on an error.
ssize_t output_file::write_to_sink(void* cookie, const char* data, std::size_t size) {
    state& s = *static_cast<state*>(cookie);
    if (s.now != phase::writing)
        return static_cast<ssize_t>(size);   // discard(): the stream's last bytes go nowhere
    if (s.result.error == 0)
        s.result.error = std::visit([&](auto& way) { return write_way(s.t, way, data, size); }, s.how);
    return s.result.error == 0 ? static_cast<ssize_t>(size) : 0;
}

outcome output_file::prepare() {
    state& s = *state_;
    if (s.now != phase::writing)
        return {EBADF, path_};
    const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
    s.now = phase::prepared;
    std::fclose(std::exchange(stream_, nullptr));
    int& error = s.result.error;
    if (error == 0 && !flushed)
        error = EIO;
    if (error == 0)
        error = std::visit([&](auto& way) { return prepare_way(s.t, way); }, s.how);
    if (error == 0)
        return {};   // what was left beside the output comes with the install
    s.result.blamed = blamed();
    discard();
    return s.result;
}

outcome output_file::install() {
    state& s = *state_;
    if (s.now != phase::prepared)
        return {EBADF, path_};
    int& error = s.result.error;
    error = std::visit([&](auto& way) { return install_way(s.t, way, s.result); }, s.how);
    // A rename the kernel refuses: the content is copied over.
    if (std::holds_alternative<beside>(s.how) && rename_refused(error))
        error = fall_back_to_over(s.t, s.how, s.result, s.now);
    s.result.blamed = path_;
    discard();
    if (error == 0)
        s.now = phase::installed;
    return s.result;
}

outcome output_file::commit() {
    const outcome prepared = prepare();
    return prepared.error != 0 ? prepared : install();
}

bool output_file::same_target(const output_file& other) const {
    const target& a = state_->t;
    const target& b = other.state_->t;
    if (a.exists != b.exists)
        return false;
    // Two new files are the same only by the same name in the same folder.
    return a.exists ? same_file(a.info, b.info) : same_file(a.folder_info, b.folder_info) && a.name == b.name;
}

bool output_file::installed() const {
    return state_->now == phase::installed;
}

bool output_file::is_file(int fd) const {
    file_info other;
    return state_->t.exists && state_->t.sys.stat(fd, "", true, other) == 0 && same_file(other, state_->t.info);
}

// The stream's last bytes go nowhere; the content's name goes, and every descriptor.
void output_file::discard() {
    state& s = *state_;
    s.now = phase::ended;
    if (stream_ != nullptr)
        std::fclose(std::exchange(stream_, nullptr));
    if (beside* b = std::get_if<beside>(&s.how)) {
        drop_beside(s.t, *b, s.result);
        *b = beside();
    }
    if (over* o = std::get_if<over>(&s.how))
        o->content = descriptor();   // its place stays, to blame
    s.t.file = descriptor();
    s.t.folder = descriptor();
}

}  // namespace suite
