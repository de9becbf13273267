// The driver's statuses and API versions as the module and the tools show them: the same in every API,
// so this unit is built once (tevu_nvenc_driver_texts) for the modules, gpu-check and the real-driver
// tests alike.
#include "tables.h"

#include "nvenc_api.h"

namespace tevu::nvenc {
namespace {

const NumberName kStatusTexts[] = {
    {0, "This indicates that API call returned with no errors."},
    {1, "This indicates that no encode capable devices were detected"},
    {2, "This indicates that devices pass by the client is not supported."},
    {3, "This indicates that the encoder device supplied by the client is not valid."},
    {4, "This indicates that device passed to the API call is invalid."},
    {5, "This indicates that device passed to the API call is no longer available and\n"
        " needs to be reinitialized. The clients need to destroy the current encoder\n"
        " session by freeing the allocated input output buffers and destroying the device\n"
        " and create a new encoding session."},
    {6, "This indicates that one or more of the pointers passed to the API call is invalid."},
    {7, "This indicates that completion event passed in ::NvEncEncodePicture() call is invalid."},
    {8, "This indicates that one or more of the parameter passed to the API call is invalid."},
    {9, "This indicates that an API call was made in wrong sequence/order."},
    {10, "This indicates that the API call failed because it was unable to allocate enough memory to "
         "perform the requested operation."},
    {11, "This indicates that the encoder has not been initialized with\n"
         "::NvEncInitializeEncoder() or that initialization has failed.\n"
         "The client cannot allocate input or output buffers or do any encoding\n"
         "related operation before successfully initializing the encoder."},
    {12, "This indicates that an unsupported parameter was passed by the client."},
    {13, "This indicates that the ::NvEncLockBitstream() failed to lock the output\n"
         "buffer. This happens when the client makes a non blocking lock call to\n"
         "access the output bitstream by passing NV_ENC_LOCK_BITSTREAM::doNotWait flag.\n"
         "This is not a fatal error and client should retry the same operation after\n"
         "few milliseconds."},
    {14, "This indicates that the size of the user buffer passed by the client is insufficient for the "
         "requested operation."},
    {15, "This indicates that an invalid struct version was used by the client."},
    {16, "This indicates that ::NvEncMapInputResource() API failed to map the client provided input "
         "resource."},
    {17, "\nThis indicates encode driver requires more input buffers to produce an output\n"
         "bitstream. If this error is returned from ::NvEncEncodePicture() API, this\n"
         "is not a fatal error. If the client is encoding with B frames then,\n"
         "::NvEncEncodePicture() API might be buffering the input frame for re-ordering.\n"
         "A client operating in synchronous mode cannot call ::NvEncLockBitstream()\n"
         "API on the output bitstream buffer if ::NvEncEncodePicture() returned the\n"
         "::NV_ENC_ERR_NEED_MORE_INPUT error code.\n"
         "The client must continue providing input frames until encode driver returns\n"
         "::NV_ENC_SUCCESS. After receiving ::NV_ENC_SUCCESS status the client can call\n"
         "::NvEncLockBitstream() API on the output buffers in the same order in which\n"
         "it has called ::NvEncEncodePicture().\n"},
    {18, "This indicates that the HW encoder is busy encoding and is unable to encode\n"
         "the input. The client should call ::NvEncEncodePicture() again after few milliseconds."},
    {19, "This indicates that the completion event passed in ::NvEncEncodePicture()\n"
         "API has not been registered with encoder driver using ::NvEncRegisterAsyncEvent()."},
    {20, "This indicates that an unknown internal error has occurred."},
    {22, "This indicates that the client is attempting to use a feature that is not implemented for the "
         "current version."},
    {23, "This indicates that the ::NvEncRegisterResource API failed to register the resource."},
    {24, "This indicates that the client is attempting to unregister a resource that has not been "
         "successfuly registered."},
    {25, "This indicates that the client is attempting to unmap a resource that has not been successfuly "
         "mapped."},
};

}  // namespace

Table<NumberName> status_texts() { return table_of(kStatusTexts); }

const char* status_text(int code) {
    if (code < 0) return nullptr;
    for (const NumberName& item : status_texts())
        if (item.value == static_cast<uint32_t>(code)) return item.name;
    return nullptr;
}

std::string status_info(int code) {
    const char* text = status_text(code);
    return text ? std::to_string(code) + ": " + text : std::to_string(code);
}

std::string api_version_text(uint32_t api) { return std::to_string(api >> 4) + "." + std::to_string(api & 0xF); }

NewestApi query_newest_api(void* entry) {
    using GetMaxSupportedVersion = NVENCSTATUS(NVENCAPI*)(uint32_t*);
    uint32_t version = 0;
    const NVENCSTATUS status = reinterpret_cast<GetMaxSupportedVersion>(entry)(&version);
    return {status, status == NV_ENC_SUCCESS ? version : 0};
}

std::string nvenc_exception_text(const std::string& operation, int code) {
    return operation + " - returned " + status_info(code);
}

}  // namespace tevu::nvenc
