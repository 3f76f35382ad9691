// The end of a round, the same for every unit: ready and stamped, the image
// published, the alarms reported from slot 1, the work item handed over.
#pragma once
#include <cstddef>
#include <cstring>

#include "host/HostClock.h"
#include "host/KLDVDevice.h"
#include "host/get_ttime.h"
#include "units/common/RoundWork.h"

namespace units {

// `stamp` is the record's 7-byte time field; `image()` builds the image once
// stamped and returns its bytes, `length` its size; `alarms()` reports the
// unit's alarms in order, its model's last.
template <typename Image, typename Alarms>
void EndRound(KLDVDevice& device, unsigned char (&stamp)[7], int recordType, RoundWork& work, Image image,
              Alarms alarms) {
  device.dataReady_ = true;
  device.lastUpdate_ = host_clock::LocalSecondClock();
  const ttime_t now = get_ttime(host_clock::LocalSecondClock());
  static_assert(sizeof(stamp) == std::tuple_size_v<ttime_t>);
  std::memcpy(stamp, now.data(), now.size());
  std::size_t length = 0;
  const unsigned char* bytes = image(length);
  device.SendSP(recordType, bytes, static_cast<unsigned>(length), false);
  device.alarmSlot_ = 1;
  alarms();
  work.Submit(device, bytes, length);
}

}  // namespace units
