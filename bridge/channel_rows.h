// The channels of a bridge as a table of rows.
#ifndef CORVANE_BRIDGE_CHANNEL_ROWS_H_
#define CORVANE_BRIDGE_CHANNEL_ROWS_H_

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"

class DdsChannel;
class DdsDomain;
class DdsManager;

// One channel of a bridge: its DDS names and its direction. Requests run
// from the rule's src (where the clients are) to its dst; replies, feedback
// and status run back. Each side's readers and writers take that side's
// reliability flag. A reply channel names the channel of the requests it
// answers; that channel then carries requests.
struct ChannelRow {
  DdsChannel* channel;
  std::string topic_name;
  std::string type_name;
  bool towards_dst;
  const DdsChannel* answers = nullptr;
};

// Gets both domains of `rule` (src first), then initialises the rows'
// channels in order, stopping at the first that fails, appending each to
// `channels`; then pairs every reply channel with its request channel. False
// when a domain cannot be obtained (no channel touched), a channel fails or a
// pairing does.
bool InitializeChannelRows(const RuleDescription& rule, const std::shared_ptr<DdsManager>& manager,
                           std::initializer_list<ChannelRow> rows,
                           std::vector<DdsChannel*>& channels);

#endif  // CORVANE_BRIDGE_CHANNEL_ROWS_H_
