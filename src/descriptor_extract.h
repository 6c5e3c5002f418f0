// The descriptor driver: the extraction from one file descriptor to another
// with read(2) and write(2), threads on a large regular file, and the flush
// rule for inputs that may wait. AutomatonExtract's descriptor overload is
// this with no resource check.
//
// For the command line and tests; not installed.
#ifndef TAGCUT_DESCRIPTOR_EXTRACT_H_
#define TAGCUT_DESCRIPTOR_EXTRACT_H_

#include <string>

#include "parallel_extract.h"
#include "tagcut/extract.h"

namespace tagcut {

// As AutomatonExtract(start_tag, end_tag, input_fd, output_fd, options), with
// `check` asked before the threaded path takes each resource.
ExtractResult ExtractBetweenDescriptors(std::string start_tag, std::string end_tag, int input_fd,
                                        int output_fd, const ExtractOptions& options,
                                        const ResourceCheck& check);

}  // namespace tagcut

#endif  // TAGCUT_DESCRIPTOR_EXTRACT_H_
