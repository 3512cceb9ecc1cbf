#include "sdp/src/sdp_errors.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

const char* const kMessages[] = {
    "No error",                                                  // 0
    "failure to initial",                                        // 1
    "failure to finish",                                         // 2
    "failure to append to attributes",                           // 3
    "failure to add attribute",                                  // 4
    "Illegal character detected",                                // 5
    "Missing describe word",                                     // 6
    "Missing version item",                                      // 7
    "Invalid version item",                                      // 8
    "Owner item not present",                                    // 9
    "Parse error in owner item",                                 // 10
    "invalid origin username",                                   // 11
    "invalid origin sessionid",                                  // 12
    "invalid origin version",                                    // 13
    "invalid origin network type",                               // 14
    "invalid origin address type",                               // 15
    "invalid origin address",                                    // 16
    "Session name not present",                                  // 17
    "Empty session name item",                                   // 18
    "Unknown session type in a session-level attribute",         // 19
    "invalid information",                                       // 20
    "invalid URL",                                               // 21
    "invalid email address",                                     // 22
    "invalid phone number",                                      // 23
    "Syntax error in connection item",                           // 24
    "Unrecognized network type in connection item",              // 25
    "Unrecognized address type in connection item",              // 26
    "invalid connection type",                                   // 27
    "No connection information provided",                        // 28
    "Parse error in bandwith item",                              // 29
    "No time period for the session",                            // 30
    "Parse error in time item",                                  // 31
    "timesstart is wrong",                                       // 32
    "timesstop is wrong",                                        // 33
    "Parse error in repeat time item",                           // 34
    "Parse error in timezone item",                              // 35
    "failure to create extern sdp attribute",                    // 36
    "Parse error in media item",                                 // 37
    "Syntax error in an rtpmap attribute item",                  // 38
    "invalid media line",                                        // 39
    "wrong state for this line",                                 // 40
    "field is too long",                                         // 41
    "Unknown media type in media item",                          // 42
    "Unknown media transport",                                   // 43
    "SDP type is not handled",                                   // 44
    "SDP media is not found",                                    // 45
    "attribute value is wrong",                                  // 46
    "attribute is not found",                                    // 47
    "Unknown encryption method",                                 // 48
    "Description item does not fit in MAXSIZE",                  // 49
    "Buffer overflow",                                           // 50
    "error with sdpforrtsp_getrangeattributeinfo",               // 51
    "error with sdpfor3gpp init",                                // 52
    "error with sdpfor3gpp finish",                              // 53
    "error with sdpfor3gpp getattributevalue",                   // 54
    "error with sdpfor3gpp appendtobuffer",                      // 55
    "error with sdpfor3gpp getsdpmedia",                         // 56
    "error with sdpfor3gpp addsdpmedia",                         // 57
    "error with sdpmedia init",                                  // 58
    "error with sdpmedia finish",                                // 59
    "error with sdpmedia appendtobuffer",                        // 60
    "error with sdpmedia getmediainfo",                          // 61
    "error with sdpmedia getmediatype",                          // 62
    "error with sdpmedia setmediatype",                          // 63
    "error with sdp addsdpmedia",                                // 64
    "error with sdpmedia setport",                               // 65
    "error with sdpmedia settransport",                          // 66
    "error with sdpmedia getfmtlist",                            // 67
    "error with sdpmedia setfmtlist",                            // 68
    "error with sdpmedia setinformation",                        // 69
    "error with sdpmedia setconnectionnetworktype",              // 70
    "error with sdpmedia setconnectionaddresstype",              // 71
    "error with sdpmedia setconnectionaddress",                  // 72
    "error with sdpmedia setbandwidthmodifier",                  // 73
    "error with sdpmedia setbandwidthvalueinkbps",               // 74
    "error with sdpmedia addattribute",                          // 75
    "error with sdpmedia transporttoolong",                      // 76
    "error with sdpmedia fmtlisttoolong",                        // 77
    "error with sdpmedia informationtoolong",                    // 78
    "error with sdpmedia connectionnetworktypetoolong",          // 79
    "error with sdpmedia connectionaddresstypetoolong",          // 80
    "error with sdpmedia connectionaddresstoolong",              // 81
    "error with sdpmedia bandwidthmodifiertoolong",              // 82
    "error with sdpmedia attributenotfound",                     // 83
    "error with sdpmediafor3gpp appendtobuffer",                 // 84
    "error with sdpmediafor3gpp getsdpmediavideofrommediainfo",  // 85
    "error with sdpmediafor3gpp getsdpmediaaudiofrommediainfo",  // 86
    "error with sdpattribute appendtobuffer",                    // 87
    "error with sdptimebase init",                               // 88
    "error with sdptimebase finish",                             // 89
    "error with sdptimebase gettimeasnpt",                       // 90
    "error with sdptimenpt init",                                // 91
    "error with sdptimenpt finish",                              // 92
    "error with sdptimesmpte init",                              // 93
    "error with sdptimesmpte finish",                            // 94
    "error with sdptimeutc init",                                // 95
    "error with sdptimeutc finish",                              // 96
    "error with sdptimeutc wrongutcbuffer",                      // 97
    "error with activationwrong",                                // 98
    "error with new",                                            // 99
    "error with sscanf",                                         // 100
    "error with failure to append buffer",                       // 101
    "error with empty of describe vector",                       // 102
    "not known with describe level",                             // 103
    "error with parameter",                                      // 104
};

const char* BaseName(const char* path) {
  if (path == nullptr) return "";
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

ErrMsgBase::ErrMsgBase(long code, const char* file, unsigned long line, void* user_data)
    : code_(code), file_(BaseName(file)), line_(line), userData_(user_data) {}

std::string ErrMsgBase::ToString() const {
  if (code_ == 0) return "NoErrMsg";
  char text[512];
  int n = std::snprintf(text, sizeof(text), "Class: %s, Code: %ld, File: %s, Line: %lu\n",
                        ClassName(), code_, file_, line_);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(text)) return "Error in ErrMsg library";
  return text;
}

const char* SDPErrors::MessageOf(long code) {
  if (code < 0 || code >= Count()) return "Error in ErrMsg library";
  return kMessages[code];
}

int SDPErrors::Count() { return static_cast<int>(std::size(kMessages)); }
