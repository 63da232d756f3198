// The image and the port of one update: taking the image, opening the
// port, writing to it, closing it, and why it did not open.

#include "engine/messages.h"
#include "engine/port_update.h"
#include "platform/platform.h"
#include "platform/trace.h"

#include <QTimer>

int PortUpdate::prepare_update()
{
    damaged = 0;
    progress_shown = 0;
    percent_shown = -1;
    handshake.reset();
    sender.reset();
    boot_check.reset();
    module_id.clear();
    image.reset();
    image_message.clear();
    if (options.image) {
        image = options.image;
    } else {
        const ImageRead read = read_image(firmware_path);
        image = read.image;
        if (read.error == ImageError::too_large)
            image_message = read.message;
    }
    if (!image)
        return 1;
    taken = image;
    image_size = image->bytes.size();
    emit image_taken(image->path, image_size, image->sha256_hex());
    return 0;
}

void PortUpdate::image_failed()
{
    stage = Stage::ended;
    if (!image_message.isEmpty())
        log_port(QStringLiteral(": ") + image_message);
    log_port(messages::image_unreadable());
    tell(NoticeKind::warning, messages::warning_title(), messages::image_unreadable());
    end(PortResult::failure, FailReason::image_unreadable);
}

FailReason PortUpdate::reason_for(OpenFailure failure)
{
    switch (failure) {
    case OpenFailure::permission_denied:
        return FailReason::permission_denied;
    case OpenFailure::busy:
        return FailReason::port_busy;
    case OpenFailure::no_such_port:
        return FailReason::no_such_port;
    default:
        return FailReason::open_failed;
    }
}

quint8 PortUpdate::open_update_port()
{
    const QString device = device_name(options.device.isEmpty() ? name : options.device);
    link = options.open_transport(device);
    qCDebug(trace) << "prot name = " << device;
    if (!link->open())
        return 1;
    link->flush();
    const int rate = found_rate.toInt(nullptr, 10);
    if (is_supported_rate(rate))
        link->setBaudRate(rate);
    link->applyLineSettings();
    link->setInputHint([this] { service(); });
    const AdapterLatency latency = link->adapterLatency();
    latency_ms = latency.timer_ms;
    emit latency_known(latency.timer_ms, latency.low_latency);
    return 0;
}

void PortUpdate::write_command(const QByteArray &bytes)
{
    qCDebug(trace) << "send cmd = " << bytes;
    write_bytes(bytes);
    if (link && link->isOpen())
        link->flush();
}

void PortUpdate::set_rate(int baud)
{
    if (link && link->isOpen())
        link->setBaudRate(baud);
}

void PortUpdate::write_bytes(const QByteArray &bytes)
{
    if (link && link->isOpen())
        link->write(bytes);
}

void PortUpdate::close_port()
{
    deadline_timer->stop();
    if (link && link->isOpen()) {
        link->setInputHint(nullptr);
        link->flush();
        link->close();
        qCDebug(trace) << "close serial now";
    }
}

bool PortUpdate::port_failed() const
{
    return !link || !link->isOpen() || link->failed();
}

void PortUpdate::open_failed()
{
    stage = Stage::ended;
    if (options.explain_open_failure)
        log_port(messages::open_failed_line() + messages::open_failure_explanation(scan_open_failure));
    tell(NoticeKind::critical, messages::open_failed_title(), messages::open_failed_text());
}

