// Writing straight into the target: a descriptor path, or no regular file.
//
// Invariant: the target is only ever written to, at the offset and with the O_APPEND of
// the descriptor written through; it is never truncated, renamed or synced.
#include "common/output_ways.h"

namespace suite::output {
namespace {

class through final : public writer {
  public:
    int prepare() override { return 0; }
    int install() override { return 0; }
};

}  // namespace

int write_through(os&, target& t, sink& s, writer_ptr& out) {
    s.fd = t.file.get();
    out = std::make_unique<through>();
    return 0;
}

}  // namespace suite::output
