#include "tool_journal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

ToolJournal::~ToolJournal()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool ToolJournal::create(const std::string& path, std::string& error)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        error = "cannot create the line journal " + path + ": " + std::strerror(errno);
    return fd_ >= 0;
}

void ToolJournal::readNew(std::deque<JournalRecord>& into)
{
    if (fd_ < 0)
        return;
    char buffer[4096];
    ssize_t size;
    while ((size = ::read(fd_, buffer, sizeof buffer)) > 0)
        partial_.append(buffer, static_cast<size_t>(size));
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::istringstream line(partial_.substr(start, end - start));
        char kind = 0;
        long long ns = 0;
        unsigned long long value = 0;
        if (!(line >> kind >> ns >> value) || (kind != 'w' && kind != 'r'))
            continue;
        into.push_back({ kind == 'w' ? JournalRecord::Kind::Write : JournalRecord::Kind::Rate,
                         TimePoint(std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(ns))),
                         value });
    }
    partial_.erase(0, start);
}
