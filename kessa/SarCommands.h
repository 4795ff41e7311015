// The bodies of the command exports and the application of SAR data messages
// to a context. Each body takes a non-null context and returns the export's
// result; the device services come from the manager.
#pragma once

#include <cstddef>
#include <cstdint>

struct SarDeviceContext;

int SetSarEnableCmd(SarDeviceContext* context, uint8_t enable);
int GetSarEnableCmd(SarDeviceContext* context, uint8_t* enabled);
int SetSarVersionCmd(SarDeviceContext* context, int32_t index, int32_t crc);
int GetSarVersionCmd(SarDeviceContext* context, int32_t* index, uint16_t* crc);
int SetSarIndexCmd(SarDeviceContext* context, int32_t index);
int GetSarIndexCmd(SarDeviceContext* context, int32_t* index);
int SetDeviceRootCmd(SarDeviceContext* context);
int SetSarValueCmd(SarDeviceContext* context, const uint8_t* data, int32_t length);
int GetSarValueCmd(SarDeviceContext* context, uint8_t** data, int32_t* length);
int GetFileCrcCmd(SarDeviceContext* context, const uint8_t* data, uint16_t length, uint16_t* crc);

// A notification of the modem maker's service, for one context: a data frame
// goes into the context's read, a valid write acknowledgement wakes its writer.
void ParseSarValueResponse(SarDeviceContext* context, const uint8_t* raw, size_t length);
