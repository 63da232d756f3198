#include "cli/live_lines.h"

#include "platform/console.h"

namespace {

constexpr int width = 79;

} // namespace

void LiveLines::set(const QString &port, const QString &text)
{
    if (!ports.contains(port))
        ports << port;
    QString line = port + QLatin1Char(' ') + text;
    if (line.size() > width)
        line = line.left(width - 1) + QChar(0x2026);
    if (texts.value(port) == line && drawn == ports.size())
        return;
    texts[port] = line;
    erase();
    draw();
}

void LiveLines::print(const QString &text)
{
    erase();
    put(stream, text);
    draw();
}

void LiveLines::leave()
{
    drawn = 0;
    ports.clear();
    texts.clear();
}

// Up to the block's first line, and everything from there down cleared.
void LiveLines::erase()
{
    if (drawn > 0)
        put(stream, QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawn));
    drawn = 0;
}

void LiveLines::draw()
{
    QString block;
    for (const QString &port : qAsConst(ports))
        block += texts.value(port) + QLatin1Char('\n');
    put(stream, block);
    drawn = ports.size();
}
