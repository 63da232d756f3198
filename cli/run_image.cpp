#include "cli/run_image.h"

#include "cli/command_line.h"
#include "cli/event_writer.h"
#include "cli/human_text.h"
#include "engine/messages.h"

namespace {

QString problem_of(const CommandLine &line, const ImageRead &read)
{
    if (!read.image)
        return read.message;
    if (read.image->bytes.isEmpty())
        return messages::image_empty(line.file);
    if (!line.expect_sha256.isEmpty() && read.image->sha256_hex() != line.expect_sha256)
        return HumanText::tr("the image %1 has SHA-256 %2, not the expected %3; no port was touched")
            .arg(line.file, read.image->sha256_hex(), line.expect_sha256);
    return QString();
}

} // namespace

std::shared_ptr<const Image> read_run_image(const CommandLine &line, ReleaseApproval &release)
{
    const ImageRead read = read_image(line.file);
    QString problem = problem_of(line, read);
    if (problem.isEmpty()) {
        release = release_approval(line.records, read.image->sha256_hex());
        if (release.approved())
            return read.image;
        problem = HumanText::tr("the image %1 is not approved for flashing: %2; no port was touched")
                      .arg(line.file, release.error);
    }
    put(stderr, QStringLiteral("tessik-update-tool: %1\n").arg(problem));
    return nullptr;
}
