#pragma once

#include <QString>
#include <QStringList>
#include <QThread>

class SerialPort;

// Finds the baud rate at which the module on a port answers "+++": tries the
// rates in a fixed order and reports once through scan_result.
class Thread : public QThread
{
    Q_OBJECT

public:
    Thread(const QString &port_name, quint8 mode);
    ~Thread() override;

    static const QStringList scan_rates;

signals:
    void scan_result(bool found, QString rate, quint8 open_failed, quint8 mode);

protected:
    void run() override;

private:
    bool open_port(const QString &name);
    void set_rate(const QString &rate);

    QString port_name;
    quint8 mode;
    SerialPort *port = nullptr; // created and used in run() only
};
