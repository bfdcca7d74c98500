#pragma once
#include <memory>
#include <span>

#include "refclocks/CSerialClient.h"
#include "refclocks/ReceiverRow.h"

namespace refclocks {

// Every receiver kind, one row each.
std::span<const ReceiverRow> receiverRows();
// The row of a protocol number; nullptr for a number no receiver has.
const ReceiverRow* receiverRow(int protocol);

// The port and line of a receiver of `row` with these settings.
SerialLine serialLine(const ReceiverRow& row, const ReceiverSettings& settings);

std::unique_ptr<CSerialClient> makeReceiver(const ReceiverRow& row,
                                            const ReceiverSettings& settings,
                                            core::MessageHandler& messages,
                                            core::TimeHandler& time);
// nullptr for a protocol number no receiver has.
std::unique_ptr<CSerialClient> makeReceiver(int protocol, const ReceiverSettings& settings,
                                            core::MessageHandler& messages,
                                            core::TimeHandler& time);

}  // namespace refclocks
