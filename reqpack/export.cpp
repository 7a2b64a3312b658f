// The loop that writes a set of text files so that none replaces its old version before
// all are whole.
#include "export.h"

#include <memory>
#include <string>
#include <vector>

#include "common/output/output_file.h"
#include "common/own_input.h"
#include "common/process.h"

namespace {

using outputs = std::vector<std::unique_ptr<suite::output_file>>;

int open_all(std::span<const export_file> files, legacy_lines legacy, outputs& opened) {
    for (const export_file& file : files) {
        opened.push_back(std::make_unique<suite::output_file>(file.path));
        if (const int error = opened.back()->open()) {
            if (legacy == legacy_lines::print)
                std::printf("%s\n", file.not_open_message.c_str());
            suite::report_error(opened.back()->blamed(), error);
            return 1;
        }
    }
    return 0;
}

// Two names for one file would leave only the content installed last.
int refuse_shared_target(std::span<const export_file> files, const outputs& opened) {
    for (std::size_t later = 1; later < opened.size(); ++later) {
        for (std::size_t earlier = 0; earlier < later; ++earlier) {
            if (!opened[earlier]->same_target(*opened[later]))
                continue;
            suite::report(files[later].path, std::string("named for both ") + files[earlier].role + " and " +
                                                 files[later].role + "; not written");
            return 1;
        }
    }
    return 0;
}

// Runs one step over every output; the first that fails stops the rest. Each file is
// replaced whole, not the set as one: outputs installed before a failure say so.
template <typename Step>
int each_output(const outputs& opened, Step step) {
    for (std::size_t k = 0; k < opened.size(); ++k) {
        if (!suite::report_outcome(opened[k]->path(), step(*opened[k])))
            continue;
        for (std::size_t done = 0; done < k && opened[done]->installed(); ++done)
            suite::report(opened[done]->path(), "replaced before that; the new content stands all the same");
        return 1;
    }
    return 0;
}

}  // namespace

int write_exports(std::span<const export_file> files, legacy_lines legacy, const char* input) {
    outputs opened;
    if (open_all(files, legacy, opened) != 0 || refuse_shared_target(files, opened) != 0)
        return 1;
    for (const auto& output : opened)
        if (input != nullptr && suite::is_own_input(*output, input))
            return 1;
    for (std::size_t k = 0; k < files.size(); ++k)
        files[k].write(opened[k]->stream());
    if (each_output(opened, [](suite::output_file& output) { return output.prepare(); }) != 0)
        return 1;
    return each_output(opened, [](suite::output_file& output) { return output.install(); });
}
