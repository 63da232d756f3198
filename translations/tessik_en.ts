<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>LanguageMenu</name>
    <message>
        <source>Language</source>
        <translation>Language</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Serial port failed to open</source>
        <translation>Serial port failed to open</translation>
    </message>
    <message>
        <source>Serial port failed to open </source>
        <translation>Serial port failed to open </translation>
    </message>
    <message>
        <source>
 the serial device does not exist or has been occupied</source>
        <translation>
 the serial device does not exist or has been occupied</translation>
    </message>
    <message>
        <source>Open Bin</source>
        <translation>Open Bin</translation>
    </message>
    <message>
        <source>Bin(*.bin)</source>
        <translation>Bin(*.bin)</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>打开升级文件成功</source>
        <translation>The update file was opened</translation>
    </message>
    <message>
        <source>open file</source>
        <translation>open file</translation>
    </message>
    <message>
        <source>stopping after the units in progress</source>
        <translation>stopping after the units in progress</translation>
    </message>
    <message>
        <source>Please select upgrade equipment serial port:</source>
        <translation>Please select upgrade equipment serial port:</translation>
    </message>
    <message>
        <source>History</source>
        <translation>History</translation>
    </message>
    <message>
        <source>Report…</source>
        <translation>Report…</translation>
    </message>
    <message>
        <source>update</source>
        <translation>update</translation>
    </message>
    <message>
        <source>Serial number %1</source>
        <translation>Serial number %1</translation>
    </message>
    <message>
        <source>VID:PID %1</source>
        <translation>VID:PID %1</translation>
    </message>
    <message>
        <source>Report</source>
        <translation>Report</translation>
    </message>
    <message>
        <source>There is no history to report on yet: %1</source>
        <translation>There is no history to report on yet: %1</translation>
    </message>
    <message>
        <source>Web page (*.html)</source>
        <translation>Web page (*.html)</translation>
    </message>
    <message>
        <source>yield report written: %1 (%2 units, %3 ok, %4 failed)</source>
        <translation>yield report written: %1 (%2 units, %3 ok, %4 failed)</translation>
    </message>
    <message>
        <source>Waring</source>
        <translation>Waring</translation>
    </message>
    <message>
        <source>Please Selcet File</source>
        <translation>Please Selcet File</translation>
    </message>
    <message>
        <source>waring</source>
        <translation>waring</translation>
    </message>
    <message>
        <source>please select com</source>
        <translation>please select com</translation>
    </message>
    <message>
        <source>release %1, signed by key %2: %3</source>
        <translation>release %1, signed by key %2: %3</translation>
    </message>
    <message>
        <source>The image is not approved for flashing: %1. No port was touched.</source>
        <translation>The image is not approved for flashing: %1. No port was touched.</translation>
    </message>
    <message>
        <source>stop after the units in progress</source>
        <translation>stop after the units in progress</translation>
    </message>
    <message>
        <source>start</source>
        <translation>start</translation>
    </message>
    <message>
        <source>units: %1</source>
        <translation>units: %1</translation>
    </message>
    <message>
        <source>Latency %1 ms</source>
        <translation>Latency %1 ms</translation>
    </message>
</context>
<context>
    <name>PortTile</name>
    <message>
        <source>id %1</source>
        <translation>id %1</translation>
    </message>
    <message>
        <source>%1 baud</source>
        <translation>%1 baud</translation>
    </message>
</context>
<context>
    <name>StationView</name>
    <message>
        <source>ready</source>
        <translation>ready</translation>
    </message>
    <message>
        <source>waiting for a module</source>
        <translation>waiting for a module</translation>
    </message>
    <message>
        <source>waiting to start</source>
        <translation>waiting to start</translation>
    </message>
    <message>
        <source>scanning for the baud rate</source>
        <translation>scanning for the baud rate</translation>
    </message>
    <message>
        <source>%1 baud: starting the boot loader</source>
        <translation>%1 baud: starting the boot loader</translation>
    </message>
    <message>
        <source>press the module&apos;s reset button: %1 s left</source>
        <translation>press the module&apos;s reset button: %1 s left</translation>
    </message>
    <message>
        <source>sending %1%</source>
        <translation>sending %1%</translation>
    </message>
    <message>
        <source>verifying the new application</source>
        <translation>verifying the new application</translation>
    </message>
    <message>
        <source>ok</source>
        <translation>ok</translation>
    </message>
    <message>
        <source>failed: %1 (%2)</source>
        <translation>failed: %1 (%2)</translation>
    </message>
    <message>
        <source>skipped: it already has this image</source>
        <translation>skipped: it already has this image</translation>
    </message>
    <message>
        <source>not started</source>
        <translation>not started</translation>
    </message>
    <message>
        <source>%1 ok, %2 failed</source>
        <translation>%1 ok, %2 failed</translation>
    </message>
    <message>
        <source>Image: none chosen yet (open file)</source>
        <translation>Image: none chosen yet (open file)</translation>
    </message>
    <message>
        <source>Image: %1, %2, SHA-256 %3</source>
        <translation>Image: %1, %2, SHA-256 %3</translation>
    </message>
    <message>
        <source>, version %1</source>
        <translation>, version %1</translation>
    </message>
    <message>
        <source>Mode: fixture loop, module after module</source>
        <translation>Mode: fixture loop, module after module</translation>
    </message>
    <message>
        <source>Mode: parallel, every ticked port at once</source>
        <translation>Mode: parallel, every ticked port at once</translation>
    </message>
    <message>
        <source>%1 ok, %2 failed, %3 units/h</source>
        <translation>%1 ok, %2 failed, %3 units/h</translation>
    </message>
    <message>
        <source>entering the boot loader</source>
        <translation>entering the boot loader</translation>
    </message>
    <message>
        <source>press reset: %1 s left</source>
        <translation>press reset: %1 s left</translation>
    </message>
    <message>
        <source>failed (%1)</source>
        <translation>failed (%1)</translation>
    </message>
    <message>
        <source>the application does not answer</source>
        <translation>the application does not answer</translation>
    </message>
    <message>
        <source>resetting the module by its serial lines</source>
        <translation>resetting the module by its serial lines</translation>
    </message>
    <message>
        <source>resetting the module by the reset command</source>
        <translation>resetting the module by the reset command</translation>
    </message>
    <message>
        <source>resetting</source>
        <translation>resetting</translation>
    </message>
</context>
<context>
    <name>cli</name>
    <message>
        <source>--retries needs a whole number from 0 to %1</source>
        <translation>--retries needs a whole number from 0 to %1</translation>
    </message>
    <message>
        <source>--wait-port needs a number of seconds from 0 to %1</source>
        <translation>--wait-port needs a number of seconds from 0 to %1</translation>
    </message>
    <message>
        <source>--expect-version needs a word, not only separators</source>
        <translation>--expect-version needs a word, not only separators</translation>
    </message>
    <message>
        <source>--min-version needs numbers separated by dots, such as 2.4.1</source>
        <translation>--min-version needs numbers separated by dots, such as 2.4.1</translation>
    </message>
    <message>
        <source>--id-pattern needs --id-command</source>
        <translation>--id-pattern needs --id-command</translation>
    </message>
    <message>
        <source>--id-pattern needs a regular expression</source>
        <translation>--id-pattern needs a regular expression</translation>
    </message>
    <message>
        <source>--id-pattern: </source>
        <translation>--id-pattern: </translation>
    </message>
    <message>
        <source>Try &apos;tessik-update-tool --help&apos; for more.
</source>
        <translation>Try &apos;tessik-update-tool --help&apos; for more.
</translation>
    </message>
    <message>
        <source>--expect-sha256 needs the 64 hex digits of a SHA-256</source>
        <translation>--expect-sha256 needs the 64 hex digits of a SHA-256</translation>
    </message>
    <message>
        <source>--verify-timeout needs a number of seconds (at most 3600)</source>
        <translation>--verify-timeout needs a number of seconds (at most 3600)</translation>
    </message>
    <message>
        <source>--version-command goes together with --expect-version or --min-version</source>
        <translation>--version-command goes together with --expect-version or --min-version</translation>
    </message>
    <message>
        <source>--version-command needs --verify</source>
        <translation>--version-command needs --verify</translation>
    </message>
    <message>
        <source>--skip-done needs --id-command</source>
        <translation>--skip-done needs --id-command</translation>
    </message>
    <message>
        <source>--skip-done reads the history: not with --no-history</source>
        <translation>--skip-done reads the history: not with --no-history</translation>
    </message>
    <message>
        <source>--gone-after needs a number of seconds above 0</source>
        <translation>--gone-after needs a number of seconds above 0</translation>
    </message>
    <message>
        <source>--count needs a whole number of 0 or more</source>
        <translation>--count needs a whole number of 0 or more</translation>
    </message>
    <message>
        <source>--gone-after and --count need --watch</source>
        <translation>--gone-after and --count need --watch</translation>
    </message>
    <message>
        <source> takes no --file and at most one --port</source>
        <translation> takes no --file and at most one --port</translation>
    </message>
    <message>
        <source>--report writes HTML: not with --json, --csv, --stats or --pending</source>
        <translation>--report writes HTML: not with --json, --csv, --stats or --pending</translation>
    </message>
    <message>
        <source>--history or --report, not both</source>
        <translation>--history or --report, not both</translation>
    </message>
    <message>
        <source>--report needs the name of the file to write</source>
        <translation>--report needs the name of the file to write</translation>
    </message>
    <message>
        <source>--json or --csv, not both</source>
        <translation>--json or --csv, not both</translation>
    </message>
    <message>
        <source> reads the history: not with --no-history</source>
        <translation> reads the history: not with --no-history</translation>
    </message>
    <message>
        <source>--pending lists this station&apos;s rows: not with --central</source>
        <translation>--pending lists this station&apos;s rows: not with --central</translation>
    </message>
    <message>
        <source>these options need --history or --report</source>
        <translation>these options need --history or --report</translation>
    </message>
    <message>
        <source>--file IMAGE is missing</source>
        <translation>--file IMAGE is missing</translation>
    </message>
    <message>
        <source>at least one --port is needed</source>
        <translation>at least one --port is needed</translation>
    </message>
    <message>
        <source>these options need --file and --port</source>
        <translation>these options need --file and --port</translation>
    </message>
    <message>
        <source>--lang needs zh or en</source>
        <translation>--lang needs zh or en</translation>
    </message>
    <message>
        <source>unexpected argument </source>
        <translation>unexpected argument </translation>
    </message>
    <message>
        <source>--baud needs one of 115200, 9600, 14400, 19200, 38400, 57600</source>
        <translation>--baud needs one of 115200, 9600, 14400, 19200, 38400, 57600</translation>
    </message>
    <message>
        <source>tessik-update-tool: cannot write the log file %1: %2
</source>
        <translation>tessik-update-tool: cannot write the log file %1: %2
</translation>
    </message>
    <message>
        <source>aborted: </source>
        <translation>aborted: </translation>
    </message>
    <message>
        <source>%1 is %2
</source>
        <translation>%1 is %2
</translation>
    </message>
    <message>
        <source>%1 is not a regular file</source>
        <translation>%1 is not a regular file</translation>
    </message>
    <message>
        <source>port %1 is not among the system&apos;s ports</source>
        <translation>port %1 is not among the system&apos;s ports</translation>
    </message>
    <message>
        <source>the image %1 has SHA-256 %2, not the expected %3; no port was touched</source>
        <translation>the image %1 has SHA-256 %2, not the expected %3; no port was touched</translation>
    </message>
    <message>
        <source>the image %1 is not approved for flashing: %2; no port was touched</source>
        <translation>the image %1 is not approved for flashing: %2; no port was touched</translation>
    </message>
    <message>
        <source>attempt %1: looking for the module&apos;s rate</source>
        <translation>attempt %1: looking for the module&apos;s rate</translation>
    </message>
    <message>
        <source>looking for the module&apos;s rate</source>
        <translation>looking for the module&apos;s rate</translation>
    </message>
    <message>
        <source>%1 baud: into the boot loader</source>
        <translation>%1 baud: into the boot loader</translation>
    </message>
    <message>
        <source>no answer at any rate: press the module&apos;s reset button (10 s)</source>
        <translation>no answer at any rate: press the module&apos;s reset button (10 s)</translation>
    </message>
    <message>
        <source>%1 unit %2 (%3 in total): updating
</source>
        <translation>%1 unit %2 (%3 in total): updating
</translation>
    </message>
    <message>
        <source>: module taken out, waiting for the next
</source>
        <translation>: module taken out, waiting for the next
</translation>
    </message>
    <message>
        <source>%1 baud, </source>
        <translation>%1 baud, </translation>
    </message>
    <message>
        <source>, %1 kB/s</source>
        <translation>, %1 kB/s</translation>
    </message>
    <message>
        <source>%1sending %2%%3</source>
        <translation>%1sending %2%%3</translation>
    </message>
    <message>
        <source>%1 unit %2 (%3 in total)%4: %5 (%6), %7 s</source>
        <translation>%1 unit %2 (%3 in total)%4: %5 (%6), %7 s</translation>
    </message>
    <message>
        <source> module </source>
        <translation> module </translation>
    </message>
    <message>
        <source>; take it out
</source>
        <translation>; take it out
</translation>
    </message>
    <message>
        <source>station: %1 ok, %2 failed, %3 per hour, %4 s per unit</source>
        <translation>station: %1 ok, %2 failed, %3 per hour, %4 s per unit</translation>
    </message>
    <message>
        <source>watching %1: put a module into a fixture
</source>
        <translation>watching %1: put a module into a fixture
</translation>
    </message>
    <message>
        <source>tessik-update-tool: port %1 is not among the system&apos;s ports
</source>
        <translation>tessik-update-tool: port %1 is not among the system&apos;s ports
</translation>
    </message>
    <message>
        <source>--reset-sequence: </source>
        <translation>--reset-sequence: </translation>
    </message>
    <message>
        <source>no step</source>
        <translation>no step</translation>
    </message>
    <message>
        <source>--reset-command: no command</source>
        <translation>--reset-command: no command</translation>
    </message>
</context>
<context>
    <name>messages</name>
    <message>
        <source>完成:%1%</source>
        <translation>done: %1%</translation>
    </message>
    <message>
        <source> attempt %1 of %2</source>
        <translation> attempt %1 of %2</translation>
    </message>
    <message>
        <source>打开升级文件失败</source>
        <translation>Failed to open the update file</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>APP已经被破坏，请在10秒内点击复位按钮</source>
        <translation>The application is damaged: press the reset button within 10 seconds</translation>
    </message>
    <message>
        <source>复位成功，开始升级......</source>
        <translation>Reset succeeded, starting the update......</translation>
    </message>
    <message>
        <source>复位超时，升级失败</source>
        <translation>Reset timed out, the update failed</translation>
    </message>
    <message>
        <source>传输失败</source>
        <translation>: transfer failed</translation>
    </message>
    <message>
        <source>对应设备升级成功</source>
        <translation>: the device was updated</translation>
    </message>
    <message>
        <source>对应设备升级失败</source>
        <translation>: the device update failed</translation>
    </message>
    <message>
        <source>: module id </source>
        <translation>: module id </translation>
    </message>
    <message>
        <source>: the module gave no identity</source>
        <translation>: the module gave no identity</translation>
    </message>
    <message>
        <source>: it replied </source>
        <translation>: it replied </translation>
    </message>
    <message>
        <source>: the module id </source>
        <translation>: the module id </translation>
    </message>
    <message>
        <source> does not match the identity pattern</source>
        <translation> does not match the identity pattern</translation>
    </message>
    <message>
        <source>: already has this image, left as it is</source>
        <translation>: already has this image, left as it is</translation>
    </message>
    <message>
        <source>: waiting for the new application</source>
        <translation>: waiting for the new application</translation>
    </message>
    <message>
        <source>: the new application did not answer</source>
        <translation>: the new application did not answer</translation>
    </message>
    <message>
        <source>: version </source>
        <translation>: version </translation>
    </message>
    <message>
        <source>: wrong version: </source>
        <translation>: wrong version: </translation>
    </message>
    <message>
        <source>no reply</source>
        <translation>no reply</translation>
    </message>
    <message>
        <source>开始升级</source>
        <translation>Updating the device on </translation>
    </message>
    <message>
        <source>对应的设备.......</source>
        <translation>.......</translation>
    </message>
    <message>
        <source>Serial port failed to open</source>
        <translation>Serial port failed to open</translation>
    </message>
    <message>
        <source>: permission denied (join the dialout group: sudo usermod -aG dialout $USER, then log in again)</source>
        <translation>: permission denied (join the dialout group: sudo usermod -aG dialout $USER, then log in again)</translation>
    </message>
    <message>
        <source>: in use by another program</source>
        <translation>: in use by another program</translation>
    </message>
    <message>
        <source>: no such device</source>
        <translation>: no such device</translation>
    </message>
    <message>
        <source>%1 holds %2 bytes, more than the 64 MiB any module can take: not a firmware image</source>
        <translation>%1 holds %2 bytes, more than the 64 MiB any module can take: not a firmware image</translation>
    </message>
    <message>
        <source>%1 is empty: an empty image would leave the module without its application</source>
        <translation>%1 is empty: an empty image would leave the module without its application</translation>
    </message>
    <message>
        <source>Waring</source>
        <translation>Waring</translation>
    </message>
    <message>
        <source>Please Selcet File</source>
        <translation>Please Selcet File</translation>
    </message>
    <message>
        <source>: reset by the line sequence </source>
        <translation>: reset by the line sequence </translation>
    </message>
    <message>
        <source>: reset by the command </source>
        <translation>: reset by the command </translation>
    </message>
    <message>
        <source>: the reset command ended: </source>
        <translation>: the reset command ended: </translation>
    </message>
    <message>
        <source>: no boot loader after the reset by </source>
        <translation>: no boot loader after the reset by </translation>
    </message>
</context>
<context>
    <name>outcome</name>
    <message>
        <source>the image was written</source>
        <translation>the image was written</translation>
    </message>
    <message>
        <source>no image was chosen when the port&apos;s turn came</source>
        <translation>no image was chosen when the port&apos;s turn came</translation>
    </message>
    <message>
        <source>the port could not be opened</source>
        <translation>the port could not be opened</translation>
    </message>
    <message>
        <source>the user may not open the port</source>
        <translation>the user may not open the port</translation>
    </message>
    <message>
        <source>another program holds the port</source>
        <translation>another program holds the port</translation>
    </message>
    <message>
        <source>the port does not exist, or did not appear in time</source>
        <translation>the port does not exist, or did not appear in time</translation>
    </message>
    <message>
        <source>the module&apos;s reset button was not pressed in time</source>
        <translation>the module&apos;s reset button was not pressed in time</translation>
    </message>
    <message>
        <source>the boot loader never asked for the first block</source>
        <translation>the boot loader never asked for the first block</translation>
    </message>
    <message>
        <source>a block was not acknowledged after all its retries</source>
        <translation>a block was not acknowledged after all its retries</translation>
    </message>
    <message>
        <source>the module answered a block with no XMODEM answer</source>
        <translation>the module answered a block with no XMODEM answer</translation>
    </message>
    <message>
        <source>the module cancelled the transfer</source>
        <translation>the module cancelled the transfer</translation>
    </message>
    <message>
        <source>the port vanished during the update</source>
        <translation>the port vanished during the update</translation>
    </message>
    <message>
        <source>the image could not be read</source>
        <translation>the image could not be read</translation>
    </message>
    <message>
        <source>the module did not confirm the end of the transfer</source>
        <translation>the module did not confirm the end of the transfer</translation>
    </message>
    <message>
        <source>the run was aborted by a signal</source>
        <translation>the run was aborted by a signal</translation>
    </message>
    <message>
        <source>the run ended before this port&apos;s turn</source>
        <translation>the run ended before this port&apos;s turn</translation>
    </message>
    <message>
        <source>the new application did not answer</source>
        <translation>the new application did not answer</translation>
    </message>
    <message>
        <source>the new application named another version</source>
        <translation>the new application named another version</translation>
    </message>
    <message>
        <source>the module already had this image</source>
        <translation>the module already had this image</translation>
    </message>
    <message>
        <source>the reply to the identity command named no module</source>
        <translation>the reply to the identity command named no module</translation>
    </message>
    <message>
        <source>choose an image first</source>
        <translation>choose an image first</translation>
    </message>
    <message>
        <source>is the adapter plugged in and working?</source>
        <translation>is the adapter plugged in and working?</translation>
    </message>
    <message>
        <source>join the dialout group (or use the udev rule) and log in again</source>
        <translation>join the dialout group (or use the udev rule) and log in again</translation>
    </message>
    <message>
        <source>close the other program that has the port open</source>
        <translation>close the other program that has the port open</translation>
    </message>
    <message>
        <source>is the adapter plugged in? --list-ports shows the ports there are</source>
        <translation>is the adapter plugged in? --list-ports shows the ports there are</translation>
    </message>
    <message>
        <source>no answer at any rate: is the module powered and its TX/RX crossed? Press reset when asked</source>
        <translation>no answer at any rate: is the module powered and its TX/RX crossed? Press reset when asked</translation>
    </message>
    <message>
        <source>is the module powered, its TX/RX crossed, and did it reboot into its boot loader?</source>
        <translation>is the module powered, its TX/RX crossed, and did it reboot into its boot loader?</translation>
    </message>
    <message>
        <source>check the cable and its ground, then try again</source>
        <translation>check the cable and its ground, then try again</translation>
    </message>
    <message>
        <source>the module refused the image: is it the image for this module?</source>
        <translation>the module refused the image: is it the image for this module?</translation>
    </message>
    <message>
        <source>was the adapter pulled out, or did it lose power?</source>
        <translation>was the adapter pulled out, or did it lose power?</translation>
    </message>
    <message>
        <source>check that the image file is still there and readable</source>
        <translation>check that the image file is still there and readable</translation>
    </message>
    <message>
        <source>is the image for this module? Try the update again</source>
        <translation>is the image for this module? Try the update again</translation>
    </message>
    <message>
        <source>the module runs another version than the one expected</source>
        <translation>the module runs another version than the one expected</translation>
    </message>
    <message>
        <source>check --id-command and --id-pattern against what the module answers</source>
        <translation>check --id-command and --id-pattern against what the module answers</translation>
    </message>
</context>
</TS>
