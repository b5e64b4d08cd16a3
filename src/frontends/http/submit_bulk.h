// The bulk hand-off of a large HTTP submission: instead of one request file
// per recipient the connection writes one batch directory (message
// templates and recipient lists) that the bulk queue threads expand.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "frontends/http/submit_params.h"
#include "frontends/http/submit_shape.h"
#include "frontends/http/submit_write.h"

namespace frontends::http {

// True when a submission of this many recipients goes to the bulk queue
// (EnableBulkQ and more recipients than MaxQDirEntries).
bool use_bulk_queue(size_t recipients);

// One recipient list line: "<future file name>=<recipient>[;<route>]
// [;UserData=<text>]" with every part kept on its line.
std::string bulk_list_line(const std::string& file_name, const FileTarget& target);

// Writes the batch (BUILD.LCK held until it is complete) in bulk_dir (the
// bulk queue directory, ending in '/'). The result lists every future file
// of the lists written; a list that cannot be written is skipped with its
// recipients (no result line, no charge).
WriteResult write_bulk_batch(const std::string& bulk_dir, const SubmitParams& p,
                             const SubmitContext& ctx, const MessageShape& shape,
                             const std::vector<FileTarget>& targets);

}  // namespace frontends::http
