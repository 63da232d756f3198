#include "app/mainwindow.h"

#include "xmodem/framing.h"

#include <QLabel>

void MainWindow::send_block(const unsigned char *data, bool crc, quint8 number)
{
    const int row = port_row(current_port);
    bytes_sent += block_length;
    const QString text = progress_text(bytes_sent, total_bytes);
    if (row >= 0 && row < max_ports && progress_labels[row])
        progress_labels[row]->setText(text);
    if (progress_listener)
        progress_listener(update_ports[current_port], text);
    last_frame.clear();
    last_frame = build_frame(data, crc, number);
    write_bytes(last_frame);
}

int MainWindow::port_row(quint8 index) const
{
    return index < max_ports ? row_of_port(port_table, update_ports[index]) : -1;
}
