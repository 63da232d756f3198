#include "sim_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

bool parseLong(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

bool parseBlock(const std::string& text, long& block)
{
    return parseLong(text, block) && block >= 1;
}

bool parseSeconds(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && value >= 0 && value < 1e7;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Milliseconds on the command line, seconds in the options.
bool parseMilliseconds(const std::string& text, double& seconds)
{
    double ms = 0;
    if (!parseSeconds(text, ms) || ms < 0)
        return false;
    seconds = ms / 1000;
    return true;
}

bool parseHex(const std::string& text, std::string& bytes)
{
    if (text.empty() || text.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hexDigit(text[i]);
        int lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

// Turns \r, \n, \t, \\ and \xHH into the bytes they stand for.
std::string unescape(const std::string& text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            result.push_back(c);
            continue;
        }
        char e = text[i + 1];
        if (e == 'r' || e == 'n' || e == 't' || e == '\\') {
            result.push_back(e == 'r' ? '\r' : e == 'n' ? '\n' : e == 't' ? '\t' : '\\');
            ++i;
        } else if (e == 'x' && i + 3 < text.size() && hexDigit(text[i + 2]) >= 0
                   && hexDigit(text[i + 3]) >= 0) {
            result.push_back(static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3])));
            i += 3;
        } else {
            result.push_back(c);
        }
    }
    return result;
}

bool parseAppBaud(const std::string& text, unsigned& baud)
{
    if (text == "none") {
        baud = 0;
        return true;
    }
    static const std::set<long> rates { 9600, 14400, 19200, 38400, 57600, 115200 };
    long value = 0;
    if (!parseLong(text, value) || rates.count(value) == 0)
        return false;
    baud = static_cast<unsigned>(value);
    return true;
}

// "N" or "N:COUNT"
bool parseSilent(const std::string& text, BlockFaults& faults)
{
    size_t colon = text.find(':');
    long block = 0;
    long count = 1;
    if (!parseBlock(text.substr(0, colon), block))
        return false;
    if (colon != std::string::npos && (!parseLong(text.substr(colon + 1), count) || count < 1))
        return false;
    faults.silent[block] = static_cast<int>(count);
    return true;
}

// "N:HEX"
bool parseReplyAfter(const std::string& text, BlockFaults& faults)
{
    size_t colon = text.find(':');
    long block = 0;
    std::string bytes;
    if (colon == std::string::npos || !parseBlock(text.substr(0, colon), block)
        || !parseHex(text.substr(colon + 1), bytes))
        return false;
    faults.replyAfter[block] = bytes;
    return true;
}

// "N:TEXT", TEXT escaped as for --ok-reply
bool parseAckExtra(const std::string& text, BlockFaults& faults)
{
    size_t colon = text.find(':');
    long block = 0;
    if (colon == std::string::npos || !parseBlock(text.substr(0, colon), block) || colon + 1 == text.size())
        return false;
    faults.ackExtra[block] = unescape(text.substr(colon + 1));
    return true;
}

bool parseProbability(const std::string& text, double& p)
{
    return parseSeconds(text, p) && p <= 1;
}

bool addBlock(const std::string& text, std::set<long>& blocks)
{
    long block = 0;
    if (!parseBlock(text, block))
        return false;
    blocks.insert(block);
    return true;
}

using ValueParser = std::function<bool(const std::string&)>;

std::map<std::string, ValueParser> valueOptions(Options& o)
{
    return {
        { "--link", [&o](const std::string& v) { o.link = v; return !v.empty(); } },
        { "--record", [&o](const std::string& v) { o.record = v; return !v.empty(); } },
        { "--out", [&o](const std::string& v) { o.out = v; return !v.empty(); } },
        { "--app-baud", [&o](const std::string& v) { return parseAppBaud(v, o.appBaud); } },
        { "--ok-reply", [&o](const std::string& v) { o.okReply = unescape(v); return true; } },
        { "--seed", [&o](const std::string& v) {
              long s = 0;
              if (!parseLong(v, s) || s < 0)
                  return false;
              o.seed = static_cast<unsigned>(s);
              return true;
          } },
        { "--reset-after", [&o](const std::string& v) {
              if (v == "never") {
                  o.resetAfter = -1;
                  return true;
              }
              return parseSeconds(v, o.resetAfter);
          } },
        { "--reset-line", [&o](const std::string& v) { o.resetLine = v; return v == "rts" || v == "dtr"; } },
        { "--reset-active", [&o](const std::string& v) {
              o.resetActiveHigh = v == "high";
              return v == "high" || v == "low";
          } },
        { "--nak-block", [&o](const std::string& v) { return addBlock(v, o.faults.nak); } },
        { "--can-block", [&o](const std::string& v) { return addBlock(v, o.faults.can); } },
        { "--vanish-block", [&o](const std::string& v) { return addBlock(v, o.faults.vanish); } },
        { "--silent-block", [&o](const std::string& v) { return parseSilent(v, o.faults); } },
        { "--reply-after-block", [&o](const std::string& v) { return parseReplyAfter(v, o.faults); } },
        { "--bad-start", [&o](const std::string& v) { return parseHex(v, o.faults.badStart); } },
        { "--ack-extra", [&o](const std::string& v) { return parseAckExtra(v, o.faults); } },
        { "--eot-extra", [&o](const std::string& v) { o.faults.eotExtra = unescape(v); return !v.empty(); } },
        { "--start-repeat", [&o](const std::string& v) {
              double ms = 0;
              if (!parseSeconds(v, ms) || ms < 1)
                  return false;
              o.startRepeat = ms / 1000;
              return true;
          } },
        { "--block-write", [&o](const std::string& v) { return parseMilliseconds(v, o.blockWrite); } },
        { "--first-block-write", [&o](const std::string& v) { return parseMilliseconds(v, o.firstBlockWrite); } },
        { "--duplicate-answer", [&o](const std::string& v) { return parseMilliseconds(v, o.duplicateAnswer); } },
        { "--rx-give-up", [&o](const std::string& v) {
              if (v == "off") {
                  o.rxGiveUp = -1;
                  return true;
              }
              return parseSeconds(v, o.rxGiveUp) && o.rxGiveUp > 0;
          } },
        { "--fault-seed", [&o](const std::string& v) {
              long s = 0;
              if (!parseLong(v, s) || s < 0 || s > 0xffffffffL)
                  return false;
              o.randomFaults.seed = static_cast<unsigned>(s);
              return true;
          } },
        { "--fault-nak", [&o](const std::string& v) { return parseProbability(v, o.randomFaults.nak); } },
        { "--fault-corrupt-rx", [&o](const std::string& v) { return parseProbability(v, o.randomFaults.corruptRx); } },
        { "--fault-corrupt-tx", [&o](const std::string& v) { return parseProbability(v, o.randomFaults.corruptTx); } },
        { "--fault-lose-reply", [&o](const std::string& v) { return parseProbability(v, o.randomFaults.loseReply); } },
        { "--fault-dup-reply", [&o](const std::string& v) { return parseProbability(v, o.randomFaults.dupReply); } },
        { "--fault-stray-start", [&o](const std::string& v) { return parseProbability(v, o.randomFaults.strayStart); } },
        { "--fault-can", [&o](const std::string& v) { return parseProbability(v, o.randomFaults.can); } },
        { "--fault-vanish", [&o](const std::string& v) { return parseProbability(v, o.randomFaults.vanish); } },
        { "--faulty-transfers", [&o](const std::string& v) {
              long n = 0;
              if (!parseLong(v, n) || n < 0)
                  return false;
              o.faultyTransfers = n;
              return true;
          } },
        { "--peer-command", [&o](const std::string& v) { o.peerCommand = v; return !v.empty(); } },
        { "--id-command", [&o](const std::string& v) { o.idCommand = unescape(v); return !v.empty(); } },
        { "--id-reply", [&o](const std::string& v) { o.idReply = unescape(v); return true; } },
        { "--version-command", [&o](const std::string& v) { o.versionCommand = unescape(v); return !v.empty(); } },
        { "--app-version", [&o](const std::string& v) { o.appVersion = v; return true; } },
        { "--after-update", [&o](const std::string& v) {
              const std::map<std::string, Options::AfterUpdate> modes {
                  { "exit", Options::AfterUpdate::Exit }, { "app", Options::AfterUpdate::App },
                  { "dead", Options::AfterUpdate::Dead } };
              auto mode = modes.find(v);
              if (mode == modes.end())
                  return false;
              o.afterUpdate = mode->second;
              return true;
          } },
        { "--after-update-seconds", [&o](const std::string& v) {
              return parseSeconds(v, o.afterUpdateSeconds) && o.afterUpdateSeconds > 0;
          } },
        { "--after-update-reboot", [&o](const std::string& v) { return parseMilliseconds(v, o.afterUpdateReboot); } },
        { "--strict-line", [&o](const std::string& v) {
              o.strictLine = v;
              return !v.empty();
          } },
        { "--adapter-latency-ms", [&o](const std::string& v) {
              return parseSeconds(v, o.adapterLatencyMs) && o.adapterLatencyMs <= 255;
          } },
        { "--adapter-latency-model", [&o](const std::string& v) {
              o.adapterHoldModel = v == "hold";
              return v == "hold" || v == "timer";
          } },
        { "--line-state", [&o](const std::string& v) {
              o.lineState = v;
              return !v.empty();
          } },
        { "--max-seconds", [&o](const std::string& v) {
              return parseSeconds(v, o.maxSeconds) && o.maxSeconds > 0;
          } },
    };
}

std::map<std::string, bool*> flagOptions(Options& o)
{
    return {
        { "--noise", &o.noise },
        { "--boot-now", &o.bootNow },
        { "--checksum", &o.checksum },
        { "--nak-first-eot", &o.faults.nakFirstEot },
        { "--pace", &o.pace },
        { "--wrong-rate-garbage", &o.wrongRateGarbage },
        { "--help", &o.help },
        { "-h", &o.help },
    };
}

} // namespace

bool parseOptions(int argc, char** argv, Options& opt, std::string& error)
{
    auto values = valueOptions(opt);
    auto flags = flagOptions(opt);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        if (!inlineValue && flags.count(arg)) {
            *flags[arg] = true;
            continue;
        }
        auto parser = values.find(arg);
        if (parser == values.end()) {
            error = "unknown option: " + arg;
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = "missing value for " + arg;
                return false;
            }
            value = argv[++i];
        }
        if (!parser->second(value)) {
            error = "bad value for " + arg + ": " + value;
            return false;
        }
    }
    return true;
}

void printHelp(const char* program)
{
    std::printf(
        "Usage: %s [options]\n"
        "Simulates a Wi-Fi module (application + boot loader with an XMODEM receiver)\n"
        "on a pseudo-terminal. Prints 'SLAVE <path>' once the line is ready.\n"
        "\n"
        "Line:\n"
        "  --link PATH             make the pty slave reachable as symlink PATH (replaced if present)\n"
        "  --pace                  model an 8N1 line at the set rate: 10 bit times per byte,\n"
        "                          both directions\n"
        "  --max-seconds N         give up after N seconds: record 'timeout', exit 1 (default 300)\n"
        "  --strict-line JOURNAL   bytes from the tool go on the line when and at the rate the\n"
        "                          tool's line journal JOURNAL says (created empty here; the tool\n"
        "                          appends to it when TESSIK_LINE_JOURNAL names it), hold it for\n"
        "                          10 bit times each, one after the other, and reach the module\n"
        "                          only then; a rate change in the journal before a byte's line\n"
        "                          time ends garbles it (event 'garbled'). When this process reads\n"
        "                          them does not matter. Paces that direction like --pace.\n"
        "  --adapter-latency-ms N  a USB adapter's latency timer of N ms holds bytes to the tool:\n"
        "                          it passes them on when 62 wait or when N ms have passed since\n"
        "                          it last passed any on (an idle adapter's timer runs out every\n"
        "                          N ms); 1 ms once the tool set ASYNC_LOW_LATENCY (seen with\n"
        "                          --line-state)\n"
        "  --adapter-latency-model timer|hold\n"
        "                          timer: as above (default); hold: bytes wait N ms after the\n"
        "                          last one, the worst case of the timer\n"
        "  --line-state DIR        the line shim's TESSIK_LINE_STATE_DIR: read the tool's modem\n"
        "                          lines and serial flags from DIR/pts-N.lines; with\n"
        "                          --adapter-latency-ms also gives the tool the adapter's\n"
        "                          DIR/sys/bus/usb-serial/devices/N/latency_timer\n"
        "\n"
        "Application:\n"
        "  --app-baud RATE         9600|14400|19200|38400|57600|115200|none (default 115200);\n"
        "                          none = dead application that never answers\n"
        "  --ok-reply TEXT         answer to \"+++\" (default \"\\r\\nOK\\r\\n\"; \\r \\n \\t \\\\ \\xHH)\n"
        "  --noise                 answer bytes at a wrong rate with 1-4 random bytes\n"
        "  --wrong-rate-garbage    answer \"+++\" at a wrong rate with 1-4 random bytes (never 'O' or 'K')\n"
        "  --seed N                seed for the random bytes (default 1)\n"
        "  \"AT+Reboot\\r\" at the application's rate reboots into the boot loader after 300 ms.\n"
        "  --id-command CMD        answer CMD (escaped as for --ok-reply, e.g. \"AT+ID?\\r\") with --id-reply\n"
        "  --id-reply TEXT         (default \"\\r\\nTESSIK-SIM-0001\\r\\nOK\\r\\n\")\n"
        "  --version-command CMD   answer CMD with \"\\r\\n<version>\\r\\nOK\\r\\n\": --app-version before an\n"
        "                          update, after one the text in the received image after\n"
        "                          \"TESSIK-VERSION:\" up to the first NUL, CR or LF (\"unknown\" without it)\n"
        "  --app-version TEXT      the version before an update (default 0.0)\n"
        "  --after-update MODE     after a complete transfer: exit (default; exit 0 a second later),\n"
        "                          app (the new application runs: \"+++\", the commands above, at\n"
        "                          --app-baud), dead (answers nothing); app and dead exit 0 after\n"
        "  --after-update-seconds N  seconds (default 30)\n"
        "  --after-update-reboot MS  app and dead start MS milliseconds after the EOT's ACK, as a\n"
        "                          module rebooting; what comes meanwhile is lost (default 0)\n"
        "\n"
        "Boot loader (115200 only; waits for \"AT#UpdateFW\\r\" + 00 00, then XMODEM):\n"
        "  --reset-after SECONDS   dead application: operator reset SECONDS after the first update\n"
        "                          request at 115200 ('never' is the default)\n"
        "  --reset-line rts|dtr    the module's reset is wired to the tool's RTS or DTR: held, then\n"
        "                          released, it restarts a dead application into the boot loader\n"
        "  --reset-active high|low the reset is held while the line is asserted (high, the default)\n"
        "                          or while it is not (low)\n"
        "                          (the lines read with --line-state); SIGUSR1 is a reset from\n"
        "                          outside, as a hub port's power cycled\n"
        "  --boot-now              start directly as the XMODEM receiver\n"
        "  --checksum              start with NAK and use the 8-bit checksum instead of CRC-16\n"
        "  --start-repeat MS       repeat the start character every MS milliseconds until the first\n"
        "                          block is in (default 1000)\n"
        "  --block-write MS        take MS milliseconds to write each new block before its ACK,\n"
        "                          reading nothing meanwhile (default 0)\n"
        "  --first-block-write MS  the same for block 1, e.g. a long erase (default: --block-write)\n"
        "  --duplicate-answer MS   answer a block already stored after MS milliseconds (default 0)\n"
        "  --rx-give-up SECONDS    once a block has begun to arrive, give up after SECONDS without a\n"
        "                          byte from the tool: send CAN CAN, record 'rx_gave_up', stop\n"
        "                          receiving ('off' is the default)\n"
        "  --eot-extra TEXT        send TEXT right after the ACK of the EOT, in the same write\n"
        "                          (escaped as for --ok-reply, e.g. \"\\r\\nBOOT OK\\r\\n\")\n"
        "  --out FILE              write the received data (whole 128-byte blocks) here\n"
        "  --peer-command CMD      hand the XMODEM phase to '/bin/sh -c CMD' over pipes\n"
        "                          (e.g. 'rx -c out.bin'); exit with its status\n"
        "\n"
        "Faults (N = 1-based count of blocks received in order, not wrapped at 256;\n"
        "options may be repeated for different blocks):\n"
        "  --nak-block N           NAK block N once, accept its resend\n"
        "  --can-block N           answer block N with CAN and stop receiving\n"
        "  --silent-block N[:C]    give no reply to block N C times (default 1)\n"
        "  --reply-after-block N:HEX  answer block N with these bytes instead of ACK\n"
        "  --nak-first-eot         NAK the first EOT, ACK the next\n"
        "  --faulty-transfers N    the block faults above apply to the first N transfers only\n"
        "  --vanish-block N        on block N close the port (the tool's port vanishes), exit 3\n"
        "  --bad-start HEX         send these bytes once before the first start character\n"
        "  --ack-extra N:TEXT      send TEXT right after the first ACK of block N, in the same write\n"
        "                          (escaped as for --ok-reply; N:C gives \"ACK C\")\n"
        "\n"
        "Random faults (P = probability per occasion, 0-1, default 0; the same seed and the same\n"
        "frames from the tool give the same faults; each is recorded as a 'fault' event):\n"
        "  --fault-seed N          seed of the fault generator (default 1)\n"
        "  --fault-nak P           NAK an intact new block or the EOT (the block is not kept)\n"
        "  --fault-corrupt-rx P    damage one byte of a complete frame on the line: it fails its\n"
        "                          check and is NAKed\n"
        "  --fault-corrupt-tx P    replace the reply byte to a frame or EOT with a byte that is none\n"
        "                          of SOH EOT ACK NAK CAN 'C'\n"
        "  --fault-lose-reply P    drop the reply to a frame or EOT (the receiver acts as if sent)\n"
        "  --fault-dup-reply P     send the reply byte twice, in the same write\n"
        "  --fault-stray-start P   send 'C' right after an ACK, in the same write\n"
        "  --fault-can P           answer an intact new block with CAN CAN and stop receiving\n"
        "  --fault-vanish P        on an intact new block close the port, exit 3\n"
        "\n"
        "Output:\n"
        "  --record FILE           JSON lines: {\"t\":ms,\"us\":us,\"dir\":\"rx\",\"baud\":B,\"hex\":H},\n"
        "                          {\"t\":ms,\"us\":us,\"dir\":\"tx\",\"hex\":H}, {\"t\":ms,\"us\":us,\"event\":E}\n"
        "                          E: boot xmodem first_block eot done(bytes) vanish can tool_can\n"
        "                          rx_gave_up peer_exit(status) signal(signal) timeout\n"
        "                          garbled(bytes, baud, new_baud)\n"
        "                          fault(kind, block, frame): kind nak|corrupt_rx|corrupt_tx|lose_reply|\n"
        "                            dup_reply|stray_start|can|vanish; block: N as above, 0 for the EOT;\n"
        "                            frame: block|eot\n"
        "                          result: once per transfer when it ends, also on timeout or signal:\n"
        "                            end complete|can|vanish|tool_can|rx_gave_up|timeout|signal,\n"
        "                            complete (EOT acknowledged), out_written, blocks, bytes,\n"
        "                            sha256 (all bytes received), sha256_trimmed (trailing 1A removed),\n"
        "                            fault_count, faults {kind: count}\n"
        "\n"
        "Exit codes: 0 transfer done, 1 timeout, 2 bad usage or setup failure, 3 vanished,\n"
        "peer's status with --peer-command, 128+signal on SIGTERM/SIGINT.\n",
        program);
}
