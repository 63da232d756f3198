#pragma once

#include <string>

// The pty pair standing in for the module's serial line. The simulator owns
// the master and keeps a descriptor on the slave open for its whole life, so
// the tool closing its port never hangs up the link.
class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    bool open(unsigned baud, std::string& error);
    bool makeLink(const std::string& path, std::string& error);
    void removeLink();
    void close();

    bool isOpen() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

private:
    bool configureSlave(unsigned baud);

    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string link_;
};
