// The loadable driver image. All of the driver lives in tarn_sys, linked in
// whole, so the host finds DriverEntry by name in this module.
#include <type_traits>

#include "sys/filter.h"

static_assert(std::is_same_v<decltype(&DriverEntry), NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING)>,
              "the host calls the entry with the standard signature");
