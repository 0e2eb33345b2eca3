// Status codes of the instrument. 0 is success. Tree, XML, file and settings operations
// return them; acquisition, peripheral and command code throws them by value.
#pragma once

#include <cstdint>

namespace Korvex {

enum eError : std::int32_t {
    eOk = 0,
    eBadNodeArgument = 2,
    eBufferTooSmall = 3,
    ePrunedNodeHadChildren = 4,
    ePathNotFound = 5,
    ePathTrailingSlash = 6,        // also: path outside every settings class
    eCannotOpenFile = 9,           // cannot be opened, stated, removed or created
    eXmlNotWellFormed = 10,
    eWriteFailed = 11,             // write failed, or the written file does not parse
    eShortRead = 12,
    eInputHandBackFailed = 17,
    eQueryAnnouncementFailed = 18,
    eResponseHandOverFailed = 19,
    eInvalidChannelList = 29,
    eNoPeripheralConnected = 30,
    eCurrentRouteQueryFailed = 35,
    eUnitIndexOutOfRange = 36,
    eZeroRatioOrReference = 37,
    eDspExchangeFailed = 38,
    eDspUnexpectedReplyId = 39,
    eDspReplyCheckWord = 40,
    eDspReplyErrorFlag = 41,
    eAcquisitionNotUp = 43,
    eNoProbeSelected = 46,
    eGeneralFailure = 47,
    eNoData = 48,                  // also: no such settings class; peripheral memory failure
    eAlreadyInitiated = 49,        // also: expected value not convertible
    eNmrPathBroken = 50,           // also: topology changed
    eWrongTriggerState = 51,
};

}  // namespace Korvex
