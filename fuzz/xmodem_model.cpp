#include "xmodem_model.h"

#include "engine/handshake.h"
#include "engine/xmodem_sender.h"
#include "protocol/framing.h"
#include "tools/xmodem_receiver.h"

#include <deque>
#include <memory>

namespace {

using std::chrono::milliseconds;

// The fuzzer's bytes, read in order; zeros once they run out.
struct Input
{
    const uint8_t *at;
    size_t left;
    unsigned next() { return left ? (--left, *at++) : 0; }
    unsigned below(unsigned n) { return n ? next() % n : 0; }
};

// One direction of the line: delivery times never go backwards. The
// module's writes arrive whole (possibly with later ones); the tool's may
// be cut into pieces.
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
    explicit Model(const uint8_t *data, size_t size) : in{data, size} {}
    std::string run();
    std::string describe() const
    {
        return " (road " + std::to_string(road) + ", hostile " + std::to_string(hostile) + ", delay up to "
               + std::to_string(max_delay) + " ms, answer " + std::to_string(app_answer_ms) + " ms, boot at "
               + std::to_string(boot_at) + " ms, " + std::to_string(image.size()) + " bytes, ended at "
               + std::to_string(now) + " ms)";
    }

    // XmodemHost: the receiver's answers
    void sendToTool(const std::string &bytes, TimePoint when) override
    {
        to_tool(ms(when), QByteArray(bytes.data(), int(bytes.size())));
    }
    void recordEvent(const std::string &) override {}
    void transferEnded(TransferEnd) override {}

    // HandshakeHost
    void write_command(const QByteArray &bytes) override { to_module(now, bytes); }
    void set_rate(int) override {}

private:
    static qint64 ms(TimePoint t) { return std::chrono::duration_cast<milliseconds>(t.time_since_epoch()).count(); }
    static TimePoint at(qint64 ms) { return TimePoint(milliseconds(ms)); }
    void to_tool(qint64 when, QByteArray bytes);
    void to_module(qint64 when, const QByteArray &bytes);
    void module_input(const QByteArray &bytes);
    std::string check_frame(const QByteArray &bytes);
    qint64 next_event() const;

    Input in;
    bool hostile = false;
    unsigned road = 0; // boot loader ready, "OK", operator's reset
    qint64 now = 0;
    qint64 max_delay = 0;
    Direction tool_bound, module_bound;
    QByteArray image;
    std::unique_ptr<XmodemReceiver> receiver;
    std::unique_ptr<XmodemSender> sender;
    std::unique_ptr<Handshake> handshake;
    enum class App { alive, dead, rebooting, boot_loader, receiving } app = App::alive;
    qint64 app_answer_ms = 0, boot_at = -1;
    QByteArray heard;
    qint64 block_index = -1;
    int last_number = 0;
    std::string fault;
};

void Model::to_tool(qint64 when, QByteArray bytes)
{
    if (hostile && in.below(8) == 1)
        return; // lost
    if (hostile && in.below(8) == 1) {
        const int i = int(in.below(unsigned(bytes.size())));
        char noise;
        do
            noise = char(in.next());
        while (QByteArray("\x01\x04\x06\x15\x18" "C", 6).contains(noise));
        bytes[i] = noise;
    }
    tool_bound.put(when + in.below(unsigned(max_delay)), bytes);
}

void Model::to_module(qint64 when, const QByteArray &bytes)
{
    if (hostile && in.below(8) == 1)
        return;
    QByteArray copy = bytes;
    if (hostile && in.below(8) == 1) {
        const int i = int(in.below(unsigned(copy.size())));
        copy[i] = char(copy.at(i) ^ char(1 + in.below(255)));
    }
    qint64 t = when + in.below(unsigned(max_delay));
    // In pieces, each byte at most 2 ms after the one before it.
    for (int from = 0; from < copy.size();) {
        const int length = 1 + int(in.below(unsigned(copy.size() - from)));
        module_bound.put(t, copy.mid(from, length));
        from += length;
        t += in.below(3);
    }
}

// The module around its receiver: an application that answers "+++" and
// reboots on "AT+Reboot\r" (or a dead one the operator resets), then a boot
// loader that starts receiving on the update request.
void Model::module_input(const QByteArray &bytes)
{
    if (app == App::receiving) {
        receiver->feed(std::string(bytes.constData(), size_t(bytes.size())), at(now));
        return;
    }
    heard += bytes;
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
    if (app != App::boot_loader)
        heard = heard.right(16);
}

std::string Model::check_frame(const QByteArray &bytes)
{
    if (bytes.at(0) != char(xmodem::soh))
        return {};
    const int number = quint8(bytes.at(1));
    if (number == ((last_number + 1) & 0xff))
        ++block_index;
    else if (number != last_number)
        return "a block out of order";
    last_number = number;
    const qint64 offset = block_index * xmodem::block_size;
    if (offset >= image.size())
        return "a block past the image";
    QByteArray block = image.mid(int(offset), xmodem::block_size);
    block += QByteArray(xmodem::block_size - block.size(), char(xmodem::padding));
    return bytes.mid(3, xmodem::block_size) == block ? std::string() : "a block that is not the image's";
}

qint64 Model::next_event() const
{
    qint64 next = -1;
    auto keep = [&next](qint64 t) { next = next < 0 || t < next ? t : next; };
    for (const Direction *d : {&tool_bound, &module_bound})
        if (!d->due.empty())
            keep(d->due.front().first);
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
    const unsigned shape = in.next();
    hostile = shape & 1;
    const bool checksum = shape & 2;
    road = (shape >> 2) % 3; 
    ReceiverSettings settings;
    settings.checksum = checksum;
    settings.startRepeat = milliseconds(5 + 20 * in.below(100));
    settings.blockWrite = milliseconds(in.below(40) * in.below(50));
    settings.firstBlockWrite = milliseconds(in.below(2) ? in.below(256) * 60 : 0);
    settings.duplicateAnswer = milliseconds(in.below(40) * in.below(50));
    for (unsigned n = in.below(4); n > 0; --n)
        settings.faults.nak.insert(1 + long(in.below(16)));
    settings.faults.nakFirstEot = in.below(2);
    max_delay = 1 + in.below(2) * in.below(1000);
    app_answer_ms = in.below(300);
    const int size = int(in.below(17) * 128 + in.below(3) * in.below(128));
    image.resize(size);
    quint32 x = in.next() + 1;
    for (int i = 0; i < size; ++i)
        image[i] = char((x = x * 1103515245u + 12345u) >> 16);
    receiver = std::make_unique<XmodemReceiver>(*this, settings);

    qint64 bound = XmodemSender::longest_ms(size);
    if (road == 0) {
        app = App::receiving;
        receiver->start(at(0));
    } else {
        app = road == 1 ? App::alive : App::dead;
        boot_at = 300 + 100 * in.below(100);
        handshake = std::make_unique<Handshake>(static_cast<HandshakeHost &>(*this), 1500, 1500);
        handshake->start(0);
        bound += 20000;
    }
    // The handshake polls one byte every 100 ms for ten polls: an "OK" later
    // than that sends it the reset road, which an application never takes.
    // On that road only a 'C' shows the boot loader.
    const bool healthy = !hostile && (road != 1 || max_delay + app_answer_ms < 400)
                         && (road != 2 || (boot_at < 8000 && !checksum));
    auto write = [this](const QByteArray &bytes) {
        if (fault.empty())
            fault = check_frame(bytes);
        to_module(now, bytes);
    };
    if (!handshake) {
        sender = std::make_unique<XmodemSender>(image, write);
        sender->start(0);
    }
    for (int steps = 0; fault.empty(); ++steps) {
        if (steps > 2000000)
            return "the model did not settle";
        const qint64 next = next_event();
        if (next < 0)
            return "nothing more is due and the update has not ended";
        now = std::max(now, next);
        if (now > bound)
            return "the update outlasted its bounds";
        while (!module_bound.due.empty() && module_bound.due.front().first <= now) {
            module_input(module_bound.due.front().second);
            module_bound.due.pop_front();
        }
        if ((app == App::rebooting || app == App::dead) && now >= boot_at)
            app = App::boot_loader;
        if (app == App::receiving)
            receiver->tick(at(now));
        while (!tool_bound.due.empty() && tool_bound.due.front().first <= now) {
            const QByteArray reply = tool_bound.due.front().second;
            tool_bound.due.pop_front();
            if (handshake && !handshake->ended())
                handshake->feed(reply);
            else if (sender)
                sender->feed(reply, now);
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
        if (!sender)
            continue;
        sender->tick(now);
        if (sender->end() == SenderEnd::running)
            continue;
        const QByteArray held = QByteArray::fromStdString(receiver->data());
        const int blocks = (size + xmodem::block_size - 1) / xmodem::block_size;
        const bool exact = receiver->complete() && held.size() == blocks * xmodem::block_size
                           && held.left(size) == image;
        if (sender->end() == SenderEnd::success && !exact)
            return "success, but the module does not hold exactly the image";
        if (sender->end() == SenderEnd::failure && healthy)
            return "a healthy module over a clean line was not updated";
        return {};
    }
    return fault;
}

} // namespace

std::string check_xmodem_model(const uint8_t *data, size_t size)
{
    Model model(data, size);
    const std::string failed = model.run();
    return failed.empty() ? failed : failed + model.describe();
}
