#pragma once
// The serial ports present and the text form of every port setting, both
// ways. The texts are what the setup dialog's selectors list; they are never
// translated, because a translated item could no longer be read back.
//
// Included at the end of CPort.h, so users of the port see these functions
// too; this header needs only the settings enumerations from there.
#include "kv_serial_export.h"
#include "CPort.h"

#include <QString>
#include <QStringList>

namespace kv52804 {

// Replaces the contents of list by the names of the serial ports present,
// sorted as text with letter case ignored ("COM10" before "COM2"): serial
// devices with hardware behind them by their /dev name (such as ttyUSB0) and
// the named links in LocalPortDirectory(); after them the named network ports
// of NetworkPortsFile() in the file's order, each name not listed already.
// The device tree is read below the sysfs root, "/sys" unless the environment
// variable KV_SYSFS_ROOT names another. Raises EComPort code 23 with the OS
// error code when the tree or the directory cannot be read; the list is then
// left as it was. The ports file never fails the list: its warnings go to
// qWarning (standard error).
KV_SERIAL_EXPORT void ListComPorts(QStringList& list);
// The same with the sysfs root, the local port directory and the ports file
// given (an empty directory name lists no links, an empty file name no
// network ports); the file's warnings are appended to warnings (may be null).
KV_SERIAL_EXPORT void ListComPorts(QStringList& list, const QString& sysfsRoot, const QString& localDir,
                  const QString& portsFile = QString(), QStringList* warnings = nullptr);
// The sysfs root ListComPorts reads: KV_SYSFS_ROOT or "/sys".
KV_SERIAL_EXPORT QString SysfsRoot();

// Value to text. A value outside its enumeration (only a cast can make one)
// gives the empty text.
KV_SERIAL_EXPORT QString BaudRateText(TBaudRate value);
KV_SERIAL_EXPORT QString StopBitsText(TStopBits value);
KV_SERIAL_EXPORT QString DataBitsText(TDataBits value);
KV_SERIAL_EXPORT QString ParityText(TParityBits value);
KV_SERIAL_EXPORT QString FlowControlText(TFlowControl value);
KV_SERIAL_EXPORT QString DTRControlText(TDTRFlowControl value);
KV_SERIAL_EXPORT QString RTSControlText(TRTSFlowControl value);

// Text to value: the first value whose text equals text with ASCII letter
// case ignored (nothing trimmed); a text that matches none gives the fallback
// br9600, sbOneStopBit, dbEight, prNone, fcCustom, dtrDisable, rtsDisable.
KV_SERIAL_EXPORT TBaudRate BaudRateFromText(const QString& text);
KV_SERIAL_EXPORT TStopBits StopBitsFromText(const QString& text);
KV_SERIAL_EXPORT TDataBits DataBitsFromText(const QString& text);
KV_SERIAL_EXPORT TParityBits ParityFromText(const QString& text);
KV_SERIAL_EXPORT TFlowControl FlowControlFromText(const QString& text);
KV_SERIAL_EXPORT TDTRFlowControl DTRControlFromText(const QString& text);
KV_SERIAL_EXPORT TRTSFlowControl RTSControlFromText(const QString& text);

// Whether text is settingText with ASCII letter case ignored, as every
// ...FromText compares (nothing trimmed).
KV_SERIAL_EXPORT bool IsSettingText(const QString& text, const QString& settingText);

// "Yes" or "No"; back: true only for "YES" in any letter case.
KV_SERIAL_EXPORT QString BoolText(bool value);
KV_SERIAL_EXPORT bool BoolFromText(const QString& text);

// Codes 33..127 as the character itself, every other code as "#" and its
// decimal number ("#13"). Back: "" gives 0; "#" and an integer give the
// integer's low 8 bits (0 when it is no valid integer); any other text its
// first character ("#" alone stays "#").
KV_SERIAL_EXPORT QString CharText(char value);
KV_SERIAL_EXPORT char CharFromText(const QString& text);

} // namespace kv52804
