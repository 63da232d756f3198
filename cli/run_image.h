#pragma once

#include "engine/image.h"
#include "engine/release_manifest.h"

#include <memory>

struct CommandLine;

// The image of a command-line run or watch, read once: every port gets
// exactly these bytes. Null, after saying why on standard error, when the
// file cannot be read, is empty or is not the --expect-sha256 one; then no
// port is touched; also when a trusted key is set and no signed release
// approves it. release: what approved it.
std::shared_ptr<const Image> read_run_image(const CommandLine &line, ReleaseApproval &release);
