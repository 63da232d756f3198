#include "xmodem_model.h"

#include "engine/handshake.h"
#include "engine/xmodem_sender.h"
#include "protocol/framing.h"
#include "tools/xmodem_receiver.h"

#include <deque>
#include <memory>

namespace {

using std::chrono::milliseconds;
qint64 ms(TimePoint t) { return std::chrono::duration_cast<milliseconds>(t.time_since_epoch()).count(); }
TimePoint at(qint64 ms) { return TimePoint(milliseconds(ms)); }

// One direction of the line, in order: the module's writes arrive whole
// (alone or with later ones), the tool's may come in pieces.
struct Direction
{
    std::deque<std::pair<qint64, QByteArray>> due;
    qint64 last = 0;
    void put(qint64 when, const QByteArray &bytes)
    {
        last = std::max(last, when);
        if (!due.empty() && due.back().first == last)
            due.back().second += bytes;
        else
            due.emplace_back(last, bytes);
    }
};

class Model : public XmodemHost, public HandshakeHost
{
public:
    Model(const uint8_t *data, size_t size) : at_byte(data), left(size) {}
    std::string run();

    void sendToTool(const std::string &bytes, TimePoint when) override
    {
        to_tool(ms(when), QByteArray(bytes.data(), int(bytes.size())));
    }
    void recordEvent(const std::string &) override {}
    void transferEnded(TransferEnd) override {}
    void write_command(const QByteArray &bytes) override { to_module(bytes); }
    void set_rate(int) override {}

private:
    unsigned next() { return left ? (--left, *at_byte++) : 0; } // zeros once the input runs out
    unsigned below(unsigned n) { return n ? next() % n : 0; }
    unsigned product(unsigned a, unsigned b) // read in this order, whatever the compiler
    {
        const unsigned first = below(a);
        return first * below(b);
    }
    bool fault() { return hostile && below(8) == 1; }
    void to_tool(qint64 when, QByteArray bytes);
    void to_module(QByteArray bytes);
    void module_input(const QByteArray &bytes);
    void check_frame(const QByteArray &bytes);
    qint64 next_event() const;

    const uint8_t *at_byte;
    size_t left;
    bool hostile = false;
    qint64 now = 0, max_delay = 1, app_answer_ms = 0, boot_at = -1;
    Direction to_tool_line, to_module_line;
    QByteArray image, heard;
    std::unique_ptr<XmodemReceiver> receiver;
    std::unique_ptr<XmodemSender> sender;
    std::unique_ptr<Handshake> handshake;
    // The module around its receiver: an application that answers "+++"
    // and reboots on "AT+Reboot\r", or a dead one the operator resets, then
    // a boot loader that starts receiving on the update request.
    enum class App { alive, dead, rebooting, boot_loader, receiving } app = App::receiving;
    qint64 block_index = -1;
    int last_number = 0;
    std::string broken;
};

void Model::to_tool(qint64 when, QByteArray bytes)
{
    if (fault())
        return; // lost
    if (fault()) { // damaged into a byte that means nothing
        const int i = int(below(unsigned(bytes.size())));
        bytes[i] = char(0x80 | next());
    }
    to_tool_line.put(when + below(unsigned(max_delay)), bytes);
}

void Model::to_module(QByteArray bytes)
{
    if (fault())
        return;
    if (fault()) {
        const int i = int(below(unsigned(bytes.size())));
        bytes[i] = char(bytes.at(i) ^ char(1 + below(255)));
    }
    qint64 t = now + below(unsigned(max_delay));
    for (int from = 0; from < bytes.size(); t += below(3)) { // each piece within 2 ms of the last
        const int length = 1 + int(below(unsigned(bytes.size() - from)));
        to_module_line.put(t, bytes.mid(from, length));
        from += length;
    }
}

void Model::module_input(const QByteArray &bytes)
{
    if (app == App::receiving) {
        receiver->feed(bytes.toStdString(), at(now));
        return;
    }
    heard = (heard + bytes).right(64);
    if (app == App::alive && heard.contains("+++")) {
        heard.replace("+++", "");
        to_tool(now + app_answer_ms, "\r\nOK\r\n");
    }
    if (app == App::alive && heard.contains("AT+Reboot\r")) {
        app = App::rebooting;
        boot_at = now + 300;
    }
    if (app == App::boot_loader && heard.contains("AT#UpdateFW\r")) {
        app = App::receiving;
        receiver->start(at(now));
    }
}

// Every block written carries the image's bytes, in order, none past its end.
void Model::check_frame(const QByteArray &bytes)
{
    if (bytes.at(0) != char(xmodem::soh) || !broken.empty())
        return;
    const int number = quint8(bytes.at(1));
    if (number == ((last_number + 1) & 0xff))
        ++block_index;
    else if (number != last_number)
        broken = "a block out of order";
    last_number = number;
    QByteArray block = image.mid(int(block_index * xmodem::block_size), xmodem::block_size);
    if (block.isEmpty())
        broken = "a block past the image";
    block += QByteArray(xmodem::block_size - block.size(), char(xmodem::padding));
    if (bytes.mid(3, xmodem::block_size) != block && broken.empty())
        broken = "a block that is not the image's";
}

qint64 Model::next_event() const
{
    qint64 next = -1;
    auto keep = [&next](qint64 t) { next = next < 0 || t < next ? t : next; };
    for (const Direction *line : {&to_tool_line, &to_module_line})
        if (!line->due.empty())
            keep(line->due.front().first);
    if (handshake && !handshake->ended())
        keep(handshake->deadline());
    if (sender)
        keep(sender->deadline());
    if (app == App::receiving && receiver->deadline())
        keep(ms(*receiver->deadline()));
    if (app == App::rebooting || app == App::dead)
        keep(boot_at);
    return next;
}

std::string Model::run()
{
    const unsigned shape = next();
    hostile = shape & 1;
    const unsigned road = (shape >> 2) % 3; // boot loader ready, "OK", the operator's reset
    ReceiverSettings settings;
    settings.checksum = shape & 2;
    settings.startRepeat = milliseconds(5 + 20 * below(100));
    settings.blockWrite = milliseconds(product(40, 50));
    settings.firstBlockWrite = milliseconds(product(2, 256) * 60); // up to 15 s: written twice
    settings.duplicateAnswer = milliseconds(product(40, 50));
    for (unsigned n = below(4); n > 0; --n)
        settings.faults.nak.insert(1 + long(below(16)));
    settings.faults.nakFirstEot = below(2);
    max_delay = 1 + product(2, 1000);
    app_answer_ms = below(300);
    const int full_blocks = int(below(17));
    image.resize(full_blocks * 128 + int(product(3, 128)));
    quint32 x = next() + 1;
    for (char &byte : image)
        byte = char((x = x * 1103515245u + 12345u) >> 16);
    receiver = std::make_unique<XmodemReceiver>(*this, settings);
    const auto write = [this](const QByteArray &bytes) {
        check_frame(bytes);
        to_module(bytes);
    };
    if (road == 0) {
        receiver->start(at(0));
        sender = std::make_unique<XmodemSender>(image, write);
        sender->start(0);
    } else {
        app = road == 1 ? App::alive : App::dead;
        boot_at = 300 + 100 * below(100);
        handshake = std::make_unique<Handshake>(static_cast<HandshakeHost &>(*this), 1500, 1500);
        handshake->start(0);
    }
    // The handshake polls one byte every 100 ms, ten times: a later "OK"
    // sends it the reset road, which an application never takes. There,
    // only a 'C' shows the boot loader.
    const bool healthy = !hostile && (road != 1 || max_delay + app_answer_ms < 400)
                         && (road != 2 || (boot_at < 8000 && !settings.checksum));
    const qint64 bound = XmodemSender::longest_ms(image.size()) + (road == 0 ? 0 : 20000);
    while (broken.empty()) {
        const qint64 next = next_event();
        if (next < 0)
            return "nothing is due and the update has not ended";
        if ((now = std::max(now, next)) > bound)
            return "the update outlasted its bounds";
        while (!to_module_line.due.empty() && to_module_line.due.front().first <= now) {
            module_input(to_module_line.due.front().second);
            to_module_line.due.pop_front();
        }
        if ((app == App::rebooting || app == App::dead) && now >= boot_at)
            app = App::boot_loader;
        if (app == App::receiving)
            receiver->tick(at(now));
        for (; !to_tool_line.due.empty() && to_tool_line.due.front().first <= now; to_tool_line.due.pop_front()) {
            if (handshake && !handshake->ended())
                handshake->feed(to_tool_line.due.front().second);
            else if (sender)
                sender->feed(to_tool_line.due.front().second, now);
        }
        if (handshake && !handshake->ended()) {
            handshake->tick(now);
            if (handshake->step() == HandshakeStep::timed_out)
                return healthy ? "the handshake with a healthy module timed out" : std::string();
            if (handshake->step() == HandshakeStep::handed_over) {
                sender = std::make_unique<XmodemSender>(image, write);
                sender->start(now);
            }
        }
        if (!sender || (sender->tick(now), sender->end() == SenderEnd::running))
            continue;
        const QByteArray held = QByteArray::fromStdString(receiver->data());
        const int blocks = (image.size() + xmodem::block_size - 1) / xmodem::block_size;
        const bool exact = receiver->complete() && held.size() == blocks * xmodem::block_size
                           && held.left(image.size()) == image;
        if (sender->end() == SenderEnd::success && !exact)
            return "success, but the module does not hold exactly the image";
        if (sender->end() == SenderEnd::failure && healthy)
            return "a healthy module over a clean line was not updated";
        return {};
    }
    return broken;
}

} // namespace

std::string check_xmodem_model(const uint8_t *data, size_t size)
{
    return Model(data, size).run();
}
