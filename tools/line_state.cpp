#include "line_state.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

void LineStateReader::attach(const std::string& dir, const std::string& slavePath)
{
    const std::string prefix = "/dev/pts/";
    if (dir.empty() || slavePath.compare(0, prefix.size(), prefix) != 0)
        return;
    path_ = dir + "/pts-" + slavePath.substr(prefix.size()) + ".lines";
    unlink(path_.c_str()); // a pty number used before: its old lines are not ours
}

std::vector<LineLevels> LineStateReader::poll()
{
    std::vector<LineLevels> changes;
    if (path_.empty())
        return changes;
    const int in = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return changes;
    char buffer[4096];
    ssize_t got;
    while ((got = pread(in, buffer, sizeof buffer, offset_)) > 0) {
        offset_ += got;
        partial_.append(buffer, static_cast<size_t>(got));
    }
    close(in);
    size_t end;
    while ((end = partial_.find('\n')) != std::string::npos) {
        const std::string line = partial_.substr(0, end);
        partial_.erase(0, end + 1);
        LineLevels levels;
        int dtr = 1, rts = 1, low = 0;
        if (std::sscanf(line.c_str(), "%lld dtr=%d rts=%d low_latency=%d", &levels.us, &dtr, &rts, &low) != 4)
            continue;
        levels.dtr = dtr != 0;
        levels.rts = rts != 0;
        levels.lowLatency = low != 0;
        current_ = levels;
        changes.push_back(levels);
    }
    return changes;
}
