#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <cstdio>

// On a terminal: one line per port at the bottom, changed in place, while
// every other line scrolls above them.
class LiveLines
{
public:
    explicit LiveLines(std::FILE *stream) : stream(stream) {}
    ~LiveLines() { leave(); }

    // The port's line now reads text (cut to the terminal's usual width).
    void set(const QString &port, const QString &text);
    // A line (or lines) of other text, above the ports' lines.
    void print(const QString &text);
    // The ports' lines stay as they are; what comes after goes below them.
    void leave();

private:
    void erase();
    void draw();

    std::FILE *stream;
    QStringList ports; // in the order they first reported
    QMap<QString, QString> texts;
    int drawn = 0; // lines of the block on the screen
};
