// The SCPI command vocabulary. Command numbers are the indices of the three parallel
// tables; for a query/setting pair the query comes first and its pattern is the setting
// pattern followed by '?'.
#include "Host/scpi/tables/CommandTables.h"

#include "Host/parameters/Bindings.h"

namespace Korvex {

namespace {

// Further suffix kinds of a flux value: tesla, ppm, and the proton and probe frequencies.
constexpr std::uint32_t FluxKinds[] = {ScpiUnitTesla, ScpiUnitPpm, ScpiUnitHertzPerProton,
                                       ScpiUnitHertz, ScpiUnitListEnd};
// Further suffix kinds of the ppm reference field: no ppm (it defines the ppm unit).
constexpr std::uint32_t ReferenceKinds[] = {ScpiUnitTesla, ScpiUnitHertzPerProton,
                                            ScpiUnitHertz, ScpiUnitListEnd};

}  // namespace

const ScpiNumericDescriptor ScpiNumericDescriptors[ScpiNumericDescriptorCount] = {
    {ScpiUnitNone, nullptr, 0},         // ScpiNumPlain
    {ScpiUnitNone, FluxKinds, 0},       // ScpiNumFlux
    {ScpiUnitVolt, nullptr, 0},         // ScpiNumVolt
    {ScpiUnitHertz, nullptr, 0},        // ScpiNumHertz
    {ScpiUnitSecond, nullptr, 0},       // ScpiNumSecond
    {ScpiUnitTesla, FluxKinds, 0},      // ScpiNumTesla
    {ScpiUnitNone, ReferenceKinds, 0},  // ScpiNumReference
};

const ScpiBooleanDescriptor ScpiBooleanNoDefault = {0};

const ScpiChannelListDescriptor ScpiChannelListParameter = {ScpiChannelRangeChecked, 1, 6, 1,
                                                            255};

namespace {

constexpr const void* Numeric(ScpiNumericDescriptorIndex index)
{
    return &ScpiNumericDescriptors[index];
}

}  // namespace

const ScpiChoiceRow ScpiChoiceRows[ScpiChoiceRowCount] = {
    // c1
    {"MINimum|MAXimum|DEFault", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c2
    {"MINimum|MAXimum|DEFault", ScpiNoDefaultIndex, ScpiFallbackNumeric, Numeric(ScpiNumPlain)},
    // c3
    {"DEFault", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c4
    {"DEFault", ScpiNoDefaultIndex, ScpiFallbackBoolean, &ScpiBooleanNoDefault},
    // c5
    {"EXPonential|MOVing|REPeat", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c6
    {"AUTO|MANual", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c7
    {"MINimum|MAXimum|DEFault", ScpiNoDefaultIndex, ScpiFallbackNumeric, Numeric(ScpiNumVolt)},
    // c8
    {"MINimum|MAXimum|DEFault", ScpiNoDefaultIndex, ScpiFallbackNumeric, Numeric(ScpiNumHertz)},
    // c9
    {"AUTO|CUSTom|MANual", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c10
    {"MINimum|MAXimum|DEFault", ScpiNoDefaultIndex, ScpiFallbackNumeric, Numeric(ScpiNumFlux)},
    // c11
    {"ASCii|INTeger", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c12
    {"INTernal|EXTernal", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c13
    {"ALL|COMMunication|MEASure|TRIGger|REFClk|UNITs", ScpiNoDefaultIndex, ScpiFallbackNone,
     nullptr},
    // c14
    {"DC|PULSe|DEFault", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c15
    {"NORMal|INVerted", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c16: INFinity is alternative 2, before DEFault.
    {"MINimum|MAXimum|INFinity|DEFault", ScpiNoDefaultIndex, ScpiFallbackNumeric,
     Numeric(ScpiNumSecond)},
    // c17
    {"MINimum|MAXimum|DEFault", ScpiNoDefaultIndex, ScpiFallbackNumeric, Numeric(ScpiNumSecond)},
    // c18
    {"POSitive|NEGative|EITHer", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c19
    {"IMMediate|TIMer|BUS|EXTernal|DEFault", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c20
    {"MINimum|MAXimum|DEFault", ScpiNoDefaultIndex, ScpiFallbackNumeric, Numeric(ScpiNumTesla)},
    // c21: the measurement units, then DEFault.
    {"T|MT|UT|NT|GAUSs|KGAUss|MGAUss|UGAUss|PPM|HZP|KHZP|MAHZP|GHZP|HZ|KHZ|MAHZ|GHZ|DEFault",
     ScpiNoDefaultIndex, ScpiFallbackNone, nullptr},
    // c22
    {"MINimum|MAXimum|DEFault", ScpiNoDefaultIndex, ScpiFallbackNumeric,
     Numeric(ScpiNumReference)},
};

const ScpiSuffixUnitRow ScpiSuffixUnitTable[ScpiSuffixUnitCount + 1] = {
    {"DB", ScpiUnitDecibel, 0},
    {"HZ", ScpiUnitHertz, 0},
    {"KHZ", ScpiUnitHertz, 3},
    {"MAHZ", ScpiUnitHertz, 6},
    {"GHZ", ScpiUnitHertz, 9},
    {"HZP", ScpiUnitHertzPerProton, 0},
    {"KHZP", ScpiUnitHertzPerProton, 3},
    {"MAHZP", ScpiUnitHertzPerProton, 6},
    {"GHZP", ScpiUnitHertzPerProton, 9},
    {"PPM", ScpiUnitPpm, 0},
    {"NS", ScpiUnitSecond, -9},
    {"US", ScpiUnitSecond, -6},
    {"MS", ScpiUnitSecond, -3},
    {"S", ScpiUnitSecond, 0},
    {"NT", ScpiUnitTesla, -9},
    {"UT", ScpiUnitTesla, -6},
    {"MT", ScpiUnitTesla, -3},
    {"T", ScpiUnitTesla, 0},
    {"UGAUss", ScpiUnitTesla, -10},
    {"MGAUss", ScpiUnitTesla, -7},
    {"GAUSs", ScpiUnitTesla, -4},
    {"KGAUss", ScpiUnitTesla, -1},
    {"MV", ScpiUnitVolt, -3},
    {"V", ScpiUnitVolt, 0},
    {"", ScpiUnitNone, 0},
};

const char* const ScpiCommandPatternTable[ScpiCommandCount + 1] = {
    "*CLS",                                     // 0
    "*ESE",                                     // 1
    "*ESE?",                                    // 2
    "*ESR?",                                    // 3
    "*IDN?",                                    // 4
    "*OPC",                                     // 5
    "*OPC?",                                    // 6
    "*RST",                                     // 7
    "*SRE",                                     // 8
    "*SRE?",                                    // 9
    "*STB?",                                    // 10
    "*TRG",                                     // 11
    "*TST?",                                    // 12
    "*WAI",                                     // 13
    "SYSTem:ERRor[:NEXT]?",                     // 14
    "SYSTem:VERSion?",                          // 15
    "SYSTem:HELP:HEADers?",                     // 16
    "SYSTem:HELP:SYNTax?",                      // 17
    "STATus:OPERation[:EVENt]?",                // 18
    "STATus:OPERation:CONDition?",              // 19
    "STATus:OPERation:ENABle?",                 // 20
    "STATus:OPERation:ENABle",                  // 21
    "STATus:QUEStionable[:EVENt]?",             // 22
    "STATus:QUEStionable:CONDition?",           // 23
    "STATus:QUEStionable:ENABle?",              // 24
    "STATus:QUEStionable:ENABle",               // 25
    "STATus:PRESet",                            // 26
    "ABORt",                                    // 27
    "[CALCulate:]AVERage#:COUNt?",              // 28
    "[CALCulate:]AVERage#:COUNt",               // 29
    "[CALCulate:]AVERage#[:STATe]?",            // 30
    "[CALCulate:]AVERage#[:STATe]",             // 31
    "[CALCulate:]AVERage#:TCONtrol?",           // 32
    "[CALCulate:]AVERage#:TCONtrol",            // 33
    "CONFigure?",                               // 34
    "CONFigure[:MEASure]:MODE?",                // 35
    "CONFigure[:MEASure]:MODE",                 // 36
    "CONFigure[:MEASure]:REJect?",              // 37
    "CONFigure[:MEASure]:REJect",               // 38
    "CONFigure[:MEASure]:LEVel?",               // 39
    "CONFigure[:MEASure]:LEVel",                // 40
    "CONFigure[:MEASure]:BANDwidth?",           // 41
    "CONFigure[:MEASure]:BANDwidth",            // 42
    "CONFigure[:MEASure]:POINts?",              // 43
    "CONFigure[:MEASure]:POINts",               // 44
    "CONFigure[:MEASure]:HYSTeresis?",          // 45
    "CONFigure[:MEASure]:HYSTeresis",           // 46
    "CONFigure:PROBe:MODE?",                    // 47
    "CONFigure:PROBe:MODE",                     // 48
    "CONFigure:PROBe:MATChing?",                // 49
    "CONFigure:PROBe:MATChing",                 // 50
    "CONFigure:PROBe:TUNing?",                  // 51
    "CONFigure:PROBe:TUNing",                   // 52
    "CONFigure:SEARch:LEVel?",                  // 53
    "CONFigure:SEARch:LEVel",                   // 54
    "CONFigure:SEARch:FSTEp?",                  // 55
    "CONFigure:SEARch:FSTEp",                   // 56
    "CONFigure:SEARch:MODE?",                   // 57
    "CONFigure:SEARch:MODE",                    // 58
    "CONFigure:SEARch:HALLenable?",             // 59
    "CONFigure:SEARch:HALLenable",              // 60
    "CONFigure:SEARch[:LIMit]:HIGH?",           // 61
    "CONFigure:SEARch[:LIMit]:HIGH",            // 62
    "CONFigure:SEARch[:LIMit]:LOW?",            // 63
    "CONFigure:SEARch[:LIMit]:LOW",             // 64
    "CONFigure:SEARch[:LIMit]:VALue?",          // 65
    "CONFigure:SEARch[:LIMit]:VALue",           // 66
    "CONFigure:TRACking[:LIMit]:HIGH?",         // 67
    "CONFigure:TRACking[:LIMit]:HIGH",          // 68
    "CONFigure:TRACking[:LIMit]:LOW?",          // 69
    "CONFigure:TRACking[:LIMit]:LOW",           // 70
    "CONFigure:TRACking:HYSTeresis?",           // 71
    "CONFigure:TRACking:HYSTeresis",            // 72
    "DIAGnostic:UPGRade[:INITiate]",            // 73
    "DIAGnostic:LOG[:DATA]?",                   // 74
    "FETCh[:SCALar][:FLUX]?",                   // 75
    "FETCh[:SCALar]:SIGMa?",                    // 76
    "FETCh[:SCALar]:UNIFormity?",               // 77
    "FETCh[:SCALar]:CHANnel?",                  // 78
    "FETCh[:SCALar]:TIMestamp?",                // 79
    "FETCh[:SCALar]:STATus?",                   // 80
    "FETCh[:SCALar]:IFRequency?",               // 81
    "FETCh[:SCALar]:RELaxation?",               // 82
    "FETCh[:SCALar]:RFFRequency?",              // 83
    "FETCh[:SCALar]:SPRogress?",                // 84
    "FETCh:ARRay[:FLUX]?",                      // 85
    "FETCh:ARRay:SIGMa?",                       // 86
    "FETCh:ARRay:UNIFormity?",                  // 87
    "FETCh:ARRay:CHANnel?",                     // 88
    "FETCh:ARRay:TIMestamp?",                   // 89
    "FETCh:ARRay:STATus?",                      // 90
    "FETCh:ARRay:NMRSignal?",                   // 91
    "FETCh:ARRay:FFTBuffer?",                   // 92
    "FETCh:ARRay:SPECtrum?",                    // 93
    "FETCh:ARRay:FIT?",                         // 94
    "FORMat[:DATA]?",                           // 95
    "FORMat[:DATA]",                            // 96
    "INITiate[:IMMediate][:ALL]",               // 97
    "INITiate[:IMMediate]:CONTinuous?",         // 98
    "INITiate[:IMMediate]:CONTinuous",          // 99
    "INPut:CLOCk[:SOURce]?",                    // 100
    "INPut:CLOCk[:SOURce]",                     // 101
    "MEASure[:SCALar][:FLUX]?",                 // 102
    "MEASure:ARRay[:FLUX]?",                    // 103
    "MMEMory[:CATalog]?",                       // 104
    "MMEMory:DATA?",                            // 105
    "MMEMory:DATA",                             // 106
    "MMEMory:DELete",                           // 107
    "MMEMory:LOAD[:STATe]",                     // 108
    "MMEMory:STORe[:STATe]",                    // 109
    "OUTPut[:TRIGger][:STATe]?",                // 110
    "OUTPut[:TRIGger][:STATe]",                 // 111
    "OUTPut[:TRIGger]:IMMediate",               // 112
    "OUTPut[:TRIGger]:SHAPe?",                  // 113
    "OUTPut[:TRIGger]:SHAPe",                   // 114
    "OUTPut[:TRIGger]:POLarity?",               // 115
    "OUTPut[:TRIGger]:POLarity",                // 116
    "OUTPut[:TRIGger]:WIDTh?",                  // 117
    "OUTPut[:TRIGger]:WIDTh",                   // 118
    "OUTPut[:TRIGger]:DELay?",                  // 119
    "OUTPut[:TRIGger]:DELay",                   // 120
    "READ[:SCALar][:FLUX]?",                    // 121
    "READ:ARRay[:FLUX]?",                       // 122
    "ROUTe:CLOSe",                              // 123
    "ROUTe:CLOSe:STATe?",                       // 124
    "ROUTe:CLOSe:ACTive?",                      // 125
    "ROUTe:PROBe:MODel?",                       // 126
    "ROUTe:PROBe:SERialno?",                    // 127
    "ROUTe:PROBe:DESignation?",                 // 128
    "ROUTe:PROBe:MINimum?",                     // 129
    "ROUTe:PROBe:MAXimum?",                     // 130
    "ROUTe:PROBe:SCAN?",                        // 131
    "ROUTe:PROBe:HALL[:CALibrated]?",           // 132
    "ROUTe:PROBe:HALL:RAW?",                    // 133
    "ROUTe:LOWLevel?",                          // 134
    "ROUTe:MMEMory:DATA?",                      // 135
    "ROUTe:MMEMory:DATA",                       // 136
    "[SENSe:]SWEep[:MODE]?",                    // 137
    "[SENSe:]SWEep[:MODE]",                     // 138
    "[SENSe:]SWEep:OFFSet:TIME?",               // 139
    "[SENSe:]SWEep:OFFSet:TIME",                // 140
    "[SENSe:]SWEep:TIME?",                      // 141
    "[SENSe:]SWEep:TIME",                       // 142
    "[SENSe:]SWEep:FREQuency?",                 // 143
    "[SENSe:]SWEep:FREQuency",                  // 144
    "[SOURce:]PULSe[:MODE]?",                   // 145
    "[SOURce:]PULSe[:MODE]",                    // 146
    "[SOURce:]PULSe:PERiod?",                   // 147
    "[SOURce:]PULSe:PERiod",                    // 148
    "[SOURce:]PULSe:WIDTh?",                    // 149
    "[SOURce:]PULSe:WIDTh",                     // 150
    "STATus:OPERation:NTRansition?",            // 151
    "STATus:OPERation:NTRansition",             // 152
    "STATus:OPERation:PTRansition?",            // 153
    "STATus:OPERation:PTRansition",             // 154
    "STATus:OPERation:BIT11[:EVENt]?",          // 155
    "STATus:OPERation:BIT11:CONDition?",        // 156
    "STATus:OPERation:BIT11:ENABle?",           // 157
    "STATus:OPERation:BIT11:ENABle",            // 158
    "STATus:OPERation:BIT11:NTRansition?",      // 159
    "STATus:OPERation:BIT11:NTRansition",       // 160
    "STATus:OPERation:BIT11:PTRansition?",      // 161
    "STATus:OPERation:BIT11:PTRansition",       // 162
    "STATus:OPERation:BIT12[:EVENt]?",          // 163
    "STATus:OPERation:BIT12:CONDition?",        // 164
    "STATus:OPERation:BIT12:ENABle?",           // 165
    "STATus:OPERation:BIT12:ENABle",            // 166
    "STATus:OPERation:BIT12:NTRansition?",      // 167
    "STATus:OPERation:BIT12:NTRansition",       // 168
    "STATus:OPERation:BIT12:PTRansition?",      // 169
    "STATus:OPERation:BIT12:PTRansition",       // 170
    "STATus:QUEStionable:NTRansition?",         // 171
    "STATus:QUEStionable:NTRansition",          // 172
    "STATus:QUEStionable:PTRansition?",         // 173
    "STATus:QUEStionable:PTRansition",          // 174
    "STATus:QUEStionable:BIT12[:EVENt]?",       // 175
    "STATus:QUEStionable:BIT12:CONDition?",     // 176
    "STATus:QUEStionable:BIT12:ENABle?",        // 177
    "STATus:QUEStionable:BIT12:ENABle",         // 178
    "STATus:QUEStionable:BIT12:NTRansition?",   // 179
    "STATus:QUEStionable:BIT12:NTRansition",    // 180
    "STATus:QUEStionable:BIT12:PTRansition?",   // 181
    "STATus:QUEStionable:BIT12:PTRansition",    // 182
    "SYSTem:COMMunicate:ETHernet[:ENABle]?",    // 183
    "SYSTem:COMMunicate:ETHernet[:ENABle]",     // 184
    "SYSTem:COMMunicate:ETHernet:IDENtifier?",  // 185
    "SYSTem:COMMunicate:ETHernet:IDENtifier",   // 186
    "SYSTem:COMMunicate:ETHernet:AUTO?",        // 187
    "SYSTem:COMMunicate:ETHernet:AUTO",         // 188
    "SYSTem:COMMunicate:ETHernet:ADDRess?",     // 189
    "SYSTem:COMMunicate:ETHernet:ADDRess",      // 190
    "SYSTem:COMMunicate:ETHernet:MASK?",        // 191
    "SYSTem:COMMunicate:ETHernet:MASK",         // 192
    "SYSTem:COMMunicate:ETHernet:BROadcast?",   // 193
    "SYSTem:COMMunicate:ETHernet:BROadcast",    // 194
    "SYSTem:COMMunicate:ETHernet:GATeway?",     // 195
    "SYSTem:COMMunicate:ETHernet:GATeway",      // 196
    "SYSTem:COMMunicate:ETHernet:DNSServer?",   // 197
    "SYSTem:COMMunicate:ETHernet:DNSServer",    // 198
    "SYSTem:COMMunicate:ETHernet:DOMain?",      // 199
    "SYSTem:COMMunicate:ETHernet:DOMain",       // 200
    "SYSTem:COMMunicate:ETHernet:NBNS?",        // 201
    "SYSTem:COMMunicate:ETHernet:NBNS",         // 202
    "SYSTem:COMMunicate:ETHernet:RESTart",      // 203
    "SYSTem:COMMunicate:MODBus[:ENABle]?",      // 204
    "SYSTem:COMMunicate:MODBus[:ENABle]",       // 205
    "SYSTem:COMMunicate:MODBus:HOSTs?",         // 206
    "SYSTem:COMMunicate:MODBus:HOSTs",          // 207
    "SYSTem:COMMunicate:MODBus:NCONnections?",  // 208
    "SYSTem:COMMunicate:MODBus:NCONnections",   // 209
    "SYSTem:COMMunicate:MODBus:F32?",           // 210
    "SYSTem:COMMunicate:MODBus:F32",            // 211
    "SYSTem:COMMunicate:USBTmc[:ENABle]?",      // 212
    "SYSTem:COMMunicate:USBTmc[:ENABle]",       // 213
    "SYSTem:COMMunicate:VXI11[:ENABle]?",       // 214
    "SYSTem:COMMunicate:VXI11[:ENABle]",        // 215
    "SYSTem:LOCK:REQuest?",                     // 216
    "SYSTem:LOCK:RELease",                      // 217
    "SYSTem:POFF",                              // 218
    "SYSTem:TEMPerature?",                      // 219
    "SYSTem:CDATe?",                            // 220
    "SYSTem:MDATe?",                            // 221
    "TRIGger[:SEQuence1]:COUNt?",               // 222
    "TRIGger[:SEQuence1]:COUNt",                // 223
    "TRIGger[:SEQuence1]:SLOPe?",               // 224
    "TRIGger[:SEQuence1]:SLOPe",                // 225
    "TRIGger[:SEQuence1]:SOURce?",              // 226
    "TRIGger[:SEQuence1]:SOURce",               // 227
    "TRIGger[:SEQuence1]:TIMer?",               // 228
    "TRIGger[:SEQuence1]:TIMer",                // 229
    "TRIGger:SEQuence2:LEVel?",                 // 230
    "TRIGger:SEQuence2:LEVel",                  // 231
    "TRIGger:SEQuence2:SLOPe?",                 // 232
    "TRIGger:SEQuence2:SLOPe",                  // 233
    "UNIT?",                                    // 234
    "UNIT",                                     // 235
    "UNIT:ALL?",                                // 236
    "UNIT:PPMReference?",                       // 237
    "UNIT:PPMReference",                        // 238
    "",
};

unsigned ScpiCommandPatternCount()
{
    unsigned count = 0;
    while (ScpiCommandPatternTable[count][0] != '\0') ++count;
    return count;
}

namespace {

// Short names for the attribute rows: the busy rules and the binding that holds no node.
constexpr std::uint32_t Refused = ScpiBusyAlways;
constexpr std::uint32_t Manual = ScpiBusyUnlessManualSearch;
constexpr CParameterNode** NoNode = &g_pNoNode;

}  // namespace

// Fields: query, lock, busy, binding 1, binding 2, default unit, flux, status-bit row,
// generic.
const ScpiCommandAttributeRow ScpiCommandAttributeTable[ScpiCommandCount] = {
    // 0 *CLS
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 1 *ESE
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 2 *ESE?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 3 *ESR?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 4 *IDN?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 5 *OPC
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 6 *OPC?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 7 *RST
    {0, 0, 0, NoNode, NoNode, "", 0, 62, 0},
    // 8 *SRE
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 9 *SRE?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 10 *STB?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 11 *TRG
    {0, 0, 0, NoNode, NoNode, "", 0, 0, 0},
    // 12 *TST?
    {1, 0, 0, NoNode, NoNode, "", 0, 0, 0},
    // 13 *WAI
    {0, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 14 SYSTem:ERRor[:NEXT]?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 15 SYSTem:VERSion?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 16 SYSTem:HELP:HEADers?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 17 SYSTem:HELP:SYNTax?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 18 STATus:OPERation[:EVENt]?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 19 STATus:OPERation:CONDition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 20 STATus:OPERation:ENABle?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 21 STATus:OPERation:ENABle
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 22 STATus:QUEStionable[:EVENt]?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 23 STATus:QUEStionable:CONDition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 24 STATus:QUEStionable:ENABle?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 25 STATus:QUEStionable:ENABle
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 26 STATus:PRESet
    {0, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 27 ABORt
    {0, 0, 0, NoNode, NoNode, "", 0, 0, 0},
    // 28 [CALCulate:]AVERage#:COUNt?
    {1, 1, 0, &g_pSignalAveragingCount, &g_pMeasurementAveragingCount, "", 0, 0, 1},
    // 29 [CALCulate:]AVERage#:COUNt
    {0, 0, Refused, &g_pSignalAveragingCount, &g_pMeasurementAveragingCount, "", 0, 58, 1},
    // 30 [CALCulate:]AVERage#[:STATe]?
    {1, 1, 0, &g_pSignalAveragingActive, &g_pMeasurementAveragingActive, "", 0, 0, 1},
    // 31 [CALCulate:]AVERage#[:STATe]
    {0, 0, Refused, &g_pSignalAveragingActive, &g_pMeasurementAveragingActive, "", 0, 58, 1},
    // 32 [CALCulate:]AVERage#:TCONtrol?
    {1, 1, 0, &g_pSignalAveragingType, &g_pMeasurementAveragingType, "", 0, 0, 1},
    // 33 [CALCulate:]AVERage#:TCONtrol
    {0, 0, Refused, &g_pSignalAveragingType, &g_pMeasurementAveragingType, "", 0, 58, 1},
    // 34 CONFigure?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 35 CONFigure[:MEASure]:MODE?
    {1, 1, 0, &g_pMeasurementMode, NoNode, "", 0, 0, 1},
    // 36 CONFigure[:MEASure]:MODE
    {0, 0, Refused, &g_pMeasurementMode, NoNode, "", 0, 51, 1},
    // 37 CONFigure[:MEASure]:REJect?
    {1, 1, 0, &g_pMeasurementReject, NoNode, "", 0, 0, 1},
    // 38 CONFigure[:MEASure]:REJect
    {0, 0, Refused, &g_pMeasurementReject, NoNode, "", 0, 51, 1},
    // 39 CONFigure[:MEASure]:LEVel?
    {1, 1, 0, &g_pMeasurementLevel, NoNode, "V", 0, 0, 1},
    // 40 CONFigure[:MEASure]:LEVel
    {0, 0, Refused, &g_pMeasurementLevel, NoNode, "V", 0, 51, 1},
    // 41 CONFigure[:MEASure]:BANDwidth?
    {1, 1, 0, &g_pMeasurementBandwidth, NoNode, "HZ", 0, 0, 1},
    // 42 CONFigure[:MEASure]:BANDwidth
    {0, 0, Refused, &g_pMeasurementBandwidth, NoNode, "HZ", 0, 51, 1},
    // 43 CONFigure[:MEASure]:POINts?
    {1, 1, 0, &g_pMeasurementPoints, NoNode, "", 0, 0, 1},
    // 44 CONFigure[:MEASure]:POINts
    {0, 0, Refused, &g_pMeasurementPoints, NoNode, "", 0, 51, 1},
    // 45 CONFigure[:MEASure]:HYSTeresis?
    {1, 1, 0, &g_pMeasurementHysteresis, NoNode, "", 0, 0, 1},
    // 46 CONFigure[:MEASure]:HYSTeresis
    {0, 0, Refused, &g_pMeasurementHysteresis, NoNode, "", 0, 51, 1},
    // 47 CONFigure:PROBe:MODE?
    {1, 1, 0, &g_pProbeMatchingTuningMode, NoNode, "", 0, 0, 1},
    // 48 CONFigure:PROBe:MODE
    {0, 0, Manual, &g_pProbeMatchingTuningMode, NoNode, "", 0, 51, 1},
    // 49 CONFigure:PROBe:MATChing?
    {1, 1, 0, &g_pProbeMatching, NoNode, "V", 0, 0, 1},
    // 50 CONFigure:PROBe:MATChing
    {0, 0, Manual, &g_pProbeMatching, NoNode, "V", 0, 51, 1},
    // 51 CONFigure:PROBe:TUNing?
    {1, 1, 0, &g_pProbeTuning, NoNode, "V", 0, 0, 1},
    // 52 CONFigure:PROBe:TUNing
    {0, 0, Manual, &g_pProbeTuning, NoNode, "V", 0, 51, 1},
    // 53 CONFigure:SEARch:LEVel?
    {1, 1, 0, &g_pSearchLevel, NoNode, "V", 0, 0, 1},
    // 54 CONFigure:SEARch:LEVel
    {0, 0, Refused, &g_pSearchLevel, NoNode, "V", 0, 51, 1},
    // 55 CONFigure:SEARch:FSTEp?
    {1, 1, 0, &g_pSearchFstep, NoNode, "Hz", 0, 0, 1},
    // 56 CONFigure:SEARch:FSTEp
    {0, 0, Refused, &g_pSearchFstep, NoNode, "Hz", 0, 51, 1},
    // 57 CONFigure:SEARch:MODE?
    {1, 1, 0, &g_pSearchMode, NoNode, "", 0, 0, 1},
    // 58 CONFigure:SEARch:MODE
    {0, 0, Manual, NoNode, NoNode, "", 0, 51, 0},
    // 59 CONFigure:SEARch:HALLenable?
    {1, 1, 0, &g_pSearchHallEnabled, NoNode, "", 0, 0, 1},
    // 60 CONFigure:SEARch:HALLenable
    {0, 0, 0, &g_pSearchHallEnabled, NoNode, "", 0, 51, 1},
    // 61 CONFigure:SEARch[:LIMit]:HIGH?
    {1, 1, 0, &g_pSearchHigh, NoNode, "T", 1, 0, 1},
    // 62 CONFigure:SEARch[:LIMit]:HIGH
    {0, 0, Refused, &g_pSearchHigh, NoNode, "T", 1, 51, 0},
    // 63 CONFigure:SEARch[:LIMit]:LOW?
    {1, 1, 0, &g_pSearchLow, NoNode, "T", 1, 0, 1},
    // 64 CONFigure:SEARch[:LIMit]:LOW
    {0, 0, Refused, &g_pSearchLow, NoNode, "T", 1, 51, 0},
    // 65 CONFigure:SEARch[:LIMit]:VALue?
    {1, 1, 0, &g_pSearchValue, NoNode, "T", 1, 0, 1},
    // 66 CONFigure:SEARch[:LIMit]:VALue
    {0, 0, Manual, &g_pSearchValue, NoNode, "T", 1, 51, 1},
    // 67 CONFigure:TRACking[:LIMit]:HIGH?
    {1, 1, 0, &g_pTrackingMaxFreq, NoNode, "HZ", 0, 0, 1},
    // 68 CONFigure:TRACking[:LIMit]:HIGH
    {0, 0, Refused, &g_pTrackingMaxFreq, NoNode, "HZ", 0, 51, 0},
    // 69 CONFigure:TRACking[:LIMit]:LOW?
    {1, 1, 0, &g_pTrackingMinFreq, NoNode, "HZ", 0, 0, 1},
    // 70 CONFigure:TRACking[:LIMit]:LOW
    {0, 0, Refused, &g_pTrackingMinFreq, NoNode, "HZ", 0, 51, 0},
    // 71 CONFigure:TRACking:HYSTeresis?
    {1, 1, 0, &g_pTrackingHysteresis, NoNode, "", 0, 0, 1},
    // 72 CONFigure:TRACking:HYSTeresis
    {0, 0, Refused, &g_pTrackingHysteresis, NoNode, "", 0, 51, 1},
    // 73 DIAGnostic:UPGRade[:INITiate]
    {0, 0, 0, NoNode, NoNode, "", 0, 0, 0},
    // 74 DIAGnostic:LOG[:DATA]?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 75 FETCh[:SCALar][:FLUX]?
    {1, 1, 0, NoNode, NoNode, "T", 1, 0, 0},
    // 76 FETCh[:SCALar]:SIGMa?
    {1, 1, 0, NoNode, NoNode, "PPM", 0, 0, 0},
    // 77 FETCh[:SCALar]:UNIFormity?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 78 FETCh[:SCALar]:CHANnel?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 79 FETCh[:SCALar]:TIMestamp?
    {1, 1, 0, NoNode, NoNode, "MS", 0, 0, 0},
    // 80 FETCh[:SCALar]:STATus?
    {1, 1, 0, NoNode, NoNode, "MS", 0, 0, 0},
    // 81 FETCh[:SCALar]:IFRequency?
    {1, 1, 0, NoNode, NoNode, "HZ", 0, 0, 0},
    // 82 FETCh[:SCALar]:RELaxation?
    {1, 1, 0, NoNode, NoNode, "S", 0, 0, 0},
    // 83 FETCh[:SCALar]:RFFRequency?
    {1, 1, 0, NoNode, NoNode, "HZ", 0, 0, 0},
    // 84 FETCh[:SCALar]:SPRogress?
    {1, 1, 0, NoNode, NoNode, "%", 0, 0, 0},
    // 85 FETCh:ARRay[:FLUX]?
    {1, 1, 0, NoNode, NoNode, "T", 1, 0, 0},
    // 86 FETCh:ARRay:SIGMa?
    {1, 1, 0, NoNode, NoNode, "PPM", 0, 0, 0},
    // 87 FETCh:ARRay:UNIFormity?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 88 FETCh:ARRay:CHANnel?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 89 FETCh:ARRay:TIMestamp?
    {1, 1, 0, NoNode, NoNode, "MS", 0, 0, 0},
    // 90 FETCh:ARRay:STATus?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 91 FETCh:ARRay:NMRSignal?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 92 FETCh:ARRay:FFTBuffer?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 93 FETCh:ARRay:SPECtrum?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 94 FETCh:ARRay:FIT?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 95 FORMat[:DATA]?
    {1, 1, 0, &g_pParametersFormat, NoNode, "", 0, 0, 1},
    // 96 FORMat[:DATA]
    {0, 0, 0, &g_pParametersFormat, NoNode, "", 0, 59, 1},
    // 97 INITiate[:IMMediate][:ALL]
    {0, 0, Refused, NoNode, NoNode, "", 0, 0, 0},
    // 98 INITiate[:IMMediate]:CONTinuous?
    {1, 1, 0, &g_pTriggerInContinuous, NoNode, "", 0, 0, 1},
    // 99 INITiate[:IMMediate]:CONTinuous
    {0, 0, 0, &g_pTriggerInContinuous, NoNode, "", 0, 0, 0},
    // 100 INPut:CLOCk[:SOURce]?
    {1, 1, 0, &g_pRefClockMode, NoNode, "", 0, 0, 1},
    // 101 INPut:CLOCk[:SOURce]
    {0, 0, Refused, NoNode, NoNode, "", 0, 53, 0},
    // 102 MEASure[:SCALar][:FLUX]?
    {1, 0, 0, NoNode, NoNode, "T", 1, 0, 0},
    // 103 MEASure:ARRay[:FLUX]?
    {1, 0, 0, NoNode, NoNode, "T", 1, 0, 0},
    // 104 MMEMory[:CATalog]?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 105 MMEMory:DATA?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 106 MMEMory:DATA
    {0, 0, Refused, NoNode, NoNode, "", 0, 50, 0},
    // 107 MMEMory:DELete
    {0, 0, Refused, NoNode, NoNode, "", 0, 50, 0},
    // 108 MMEMory:LOAD[:STATe]
    {0, 0, Refused, NoNode, NoNode, "", 0, 49, 0},
    // 109 MMEMory:STORe[:STATe]
    {0, 0, Refused, NoNode, NoNode, "", 0, 50, 0},
    // 110 OUTPut[:TRIGger][:STATe]?
    {1, 1, 0, &g_pTriggerOutState, NoNode, "", 0, 0, 1},
    // 111 OUTPut[:TRIGger][:STATe]
    {0, 0, Refused, &g_pTriggerOutState, NoNode, "", 0, 54, 0},
    // 112 OUTPut[:TRIGger]:IMMediate
    {0, 0, Refused, NoNode, NoNode, "", 0, 0, 0},
    // 113 OUTPut[:TRIGger]:SHAPe?
    {1, 1, 0, &g_pTriggerOutShape, NoNode, "", 0, 0, 1},
    // 114 OUTPut[:TRIGger]:SHAPe
    {0, 0, Refused, &g_pTriggerOutShape, NoNode, "", 0, 54, 0},
    // 115 OUTPut[:TRIGger]:POLarity?
    {1, 1, 0, &g_pTriggerOutPolarity, NoNode, "", 0, 0, 1},
    // 116 OUTPut[:TRIGger]:POLarity
    {0, 0, Refused, &g_pTriggerOutPolarity, NoNode, "", 0, 54, 0},
    // 117 OUTPut[:TRIGger]:WIDTh?
    {1, 1, 0, &g_pTriggerOutWidth, NoNode, "S", 0, 0, 1},
    // 118 OUTPut[:TRIGger]:WIDTh
    {0, 0, Refused, &g_pTriggerOutWidth, NoNode, "S", 0, 54, 0},
    // 119 OUTPut[:TRIGger]:DELay?
    {1, 1, 0, &g_pTriggerOutDelay, NoNode, "S", 0, 0, 1},
    // 120 OUTPut[:TRIGger]:DELay
    {0, 0, Refused, &g_pTriggerOutDelay, NoNode, "S", 0, 54, 0},
    // 121 READ[:SCALar][:FLUX]?
    {1, 0, 0, NoNode, NoNode, "T", 0, 0, 0},
    // 122 READ:ARRay[:FLUX]?
    {1, 0, 0, NoNode, NoNode, "T", 0, 0, 0},
    // 123 ROUTe:CLOSe
    {0, 0, Refused, NoNode, NoNode, "", 0, 0, 0},
    // 124 ROUTe:CLOSe:STATe?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 125 ROUTe:CLOSe:ACTive?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 126 ROUTe:PROBe:MODel?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 127 ROUTe:PROBe:SERialno?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 128 ROUTe:PROBe:DESignation?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 129 ROUTe:PROBe:MINimum?
    {1, 1, 0, NoNode, NoNode, "T", 1, 0, 0},
    // 130 ROUTe:PROBe:MAXimum?
    {1, 1, 0, NoNode, NoNode, "T", 1, 0, 0},
    // 131 ROUTe:PROBe:SCAN?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 132 ROUTe:PROBe:HALL[:CALibrated]?
    {1, 1, Refused, NoNode, NoNode, "T", 1, 0, 0},
    // 133 ROUTe:PROBe:HALL:RAW?
    {1, 1, Refused, NoNode, NoNode, "", 1, 0, 0},
    // 134 ROUTe:LOWLevel?
    {1, 0, Refused, NoNode, NoNode, "", 0, 0, 0},
    // 135 ROUTe:MMEMory:DATA?
    {1, 0, 0, NoNode, NoNode, "", 0, 0, 0},
    // 136 ROUTe:MMEMory:DATA
    {0, 0, Refused, NoNode, NoNode, "", 0, 0, 0},
    // 137 [SENSe:]SWEep[:MODE]?
    {1, 1, 0, &g_pSampleMode, NoNode, "", 0, 0, 1},
    // 138 [SENSe:]SWEep[:MODE]
    {0, 0, Refused, &g_pSampleMode, NoNode, "", 0, 55, 1},
    // 139 [SENSe:]SWEep:OFFSet:TIME?
    {1, 1, 0, &g_pSampleOffset, NoNode, "S", 0, 0, 1},
    // 140 [SENSe:]SWEep:OFFSet:TIME
    {0, 0, Refused, &g_pSampleOffset, NoNode, "S", 0, 55, 1},
    // 141 [SENSe:]SWEep:TIME?
    {1, 1, 0, &g_pSampleLength, NoNode, "S", 0, 0, 1},
    // 142 [SENSe:]SWEep:TIME
    {0, 0, Refused, &g_pSampleLength, NoNode, "S", 0, 55, 1},
    // 143 [SENSe:]SWEep:FREQuency?
    {1, 1, 0, &g_pSampleRate, NoNode, "HZ", 0, 0, 1},
    // 144 [SENSe:]SWEep:FREQuency
    {0, 0, Refused, &g_pSampleRate, NoNode, "HZ", 0, 55, 1},
    // 145 [SOURce:]PULSe[:MODE]?
    {1, 1, 0, &g_pPulseMode, NoNode, "", 0, 0, 1},
    // 146 [SOURce:]PULSe[:MODE]
    {0, 0, Manual, &g_pPulseMode, NoNode, "", 0, 56, 1},
    // 147 [SOURce:]PULSe:PERiod?
    {1, 1, 0, &g_pPulsePeriod, NoNode, "S", 0, 0, 1},
    // 148 [SOURce:]PULSe:PERiod
    {0, 0, Manual, &g_pPulsePeriod, NoNode, "S", 0, 56, 1},
    // 149 [SOURce:]PULSe:WIDTh?
    {1, 1, 0, &g_pPulseWidth, NoNode, "S", 0, 0, 1},
    // 150 [SOURce:]PULSe:WIDTh
    {0, 0, Manual, &g_pPulseWidth, NoNode, "S", 0, 56, 1},
    // 151 STATus:OPERation:NTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 152 STATus:OPERation:NTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 153 STATus:OPERation:PTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 154 STATus:OPERation:PTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 155 STATus:OPERation:BIT11[:EVENt]?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 156 STATus:OPERation:BIT11:CONDition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 157 STATus:OPERation:BIT11:ENABle?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 158 STATus:OPERation:BIT11:ENABle
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 159 STATus:OPERation:BIT11:NTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 160 STATus:OPERation:BIT11:NTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 161 STATus:OPERation:BIT11:PTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 162 STATus:OPERation:BIT11:PTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 163 STATus:OPERation:BIT12[:EVENt]?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 164 STATus:OPERation:BIT12:CONDition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 165 STATus:OPERation:BIT12:ENABle?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 166 STATus:OPERation:BIT12:ENABle
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 167 STATus:OPERation:BIT12:NTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 168 STATus:OPERation:BIT12:NTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 169 STATus:OPERation:BIT12:PTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 170 STATus:OPERation:BIT12:PTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 171 STATus:QUEStionable:NTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 172 STATus:QUEStionable:NTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 173 STATus:QUEStionable:PTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 174 STATus:QUEStionable:PTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 175 STATus:QUEStionable:BIT12[:EVENt]?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 176 STATus:QUEStionable:BIT12:CONDition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 177 STATus:QUEStionable:BIT12:ENABle?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 178 STATus:QUEStionable:BIT12:ENABle
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 179 STATus:QUEStionable:BIT12:NTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 180 STATus:QUEStionable:BIT12:NTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 181 STATus:QUEStionable:BIT12:PTRansition?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 182 STATus:QUEStionable:BIT12:PTRansition
    {0, 1, 0, NoNode, NoNode, "", 0, 48, 0},
    // 183 SYSTem:COMMunicate:ETHernet[:ENABle]?
    {1, 1, 0, &g_pEthernetEnabled, NoNode, "", 0, 0, 1},
    // 184 SYSTem:COMMunicate:ETHernet[:ENABle]
    {0, 0, 0, NoNode, NoNode, "", 0, 47, 0},
    // 185 SYSTem:COMMunicate:ETHernet:IDENtifier?
    {1, 1, 0, &g_pEthernetId, NoNode, "", 0, 0, 1},
    // 186 SYSTem:COMMunicate:ETHernet:IDENtifier
    {0, 0, 0, &g_pEthernetId, NoNode, "", 0, 47, 1},
    // 187 SYSTem:COMMunicate:ETHernet:AUTO?
    {1, 1, 0, &g_pEthernetAutoAddress, NoNode, "", 0, 0, 1},
    // 188 SYSTem:COMMunicate:ETHernet:AUTO
    {0, 0, 0, &g_pEthernetAutoAddress, NoNode, "", 0, 47, 1},
    // 189 SYSTem:COMMunicate:ETHernet:ADDRess?
    {1, 1, 0, &g_pEthernetIpAddress, NoNode, "", 0, 0, 1},
    // 190 SYSTem:COMMunicate:ETHernet:ADDRess
    {0, 0, 0, NoNode, NoNode, "", 0, 0, 0},
    // 191 SYSTem:COMMunicate:ETHernet:MASK?
    {1, 1, 0, &g_pEthernetNetMask, NoNode, "", 0, 0, 1},
    // 192 SYSTem:COMMunicate:ETHernet:MASK
    {0, 0, 0, &g_pEthernetNetMask, NoNode, "", 0, 47, 1},
    // 193 SYSTem:COMMunicate:ETHernet:BROadcast?
    {1, 1, 0, &g_pEthernetBroadcast, NoNode, "", 0, 0, 1},
    // 194 SYSTem:COMMunicate:ETHernet:BROadcast
    {0, 0, 0, &g_pEthernetBroadcast, NoNode, "", 0, 47, 1},
    // 195 SYSTem:COMMunicate:ETHernet:GATeway?
    {1, 1, 0, &g_pEthernetGateway, NoNode, "", 0, 0, 1},
    // 196 SYSTem:COMMunicate:ETHernet:GATeway
    {0, 0, 0, &g_pEthernetGateway, NoNode, "", 0, 47, 1},
    // 197 SYSTem:COMMunicate:ETHernet:DNSServer?
    {1, 1, 0, &g_pEthernetDnsServer, NoNode, "", 0, 0, 1},
    // 198 SYSTem:COMMunicate:ETHernet:DNSServer
    {0, 0, 0, &g_pEthernetDnsServer, NoNode, "", 0, 47, 1},
    // 199 SYSTem:COMMunicate:ETHernet:DOMain?
    {1, 1, 0, &g_pEthernetDomain, NoNode, "", 0, 0, 1},
    // 200 SYSTem:COMMunicate:ETHernet:DOMain
    {0, 0, 0, &g_pEthernetDomain, NoNode, "", 0, 47, 1},
    // 201 SYSTem:COMMunicate:ETHernet:NBNS?
    {1, 1, 0, &g_pNbnsEnabled, NoNode, "", 0, 0, 1},
    // 202 SYSTem:COMMunicate:ETHernet:NBNS
    {0, 0, 0, &g_pNbnsEnabled, NoNode, "", 0, 47, 1},
    // 203 SYSTem:COMMunicate:ETHernet:RESTart
    {0, 0, 0, NoNode, NoNode, "", 0, 47, 0},
    // 204 SYSTem:COMMunicate:MODBus[:ENABle]?
    {1, 1, 0, &g_pModbusEnabled, NoNode, "", 0, 0, 1},
    // 205 SYSTem:COMMunicate:MODBus[:ENABle]
    {0, 0, 0, &g_pModbusEnabled, NoNode, "", 0, 47, 1},
    // 206 SYSTem:COMMunicate:MODBus:HOSTs?
    {1, 1, 0, &g_pModbusAuthList, NoNode, "", 0, 0, 1},
    // 207 SYSTem:COMMunicate:MODBus:HOSTs
    {0, 0, 0, &g_pModbusAuthList, NoNode, "", 0, 47, 1},
    // 208 SYSTem:COMMunicate:MODBus:NCONnections?
    {1, 1, 0, &g_pModbusMaxConnections, NoNode, "", 0, 0, 1},
    // 209 SYSTem:COMMunicate:MODBus:NCONnections
    {0, 0, 0, &g_pModbusMaxConnections, NoNode, "", 0, 47, 1},
    // 210 SYSTem:COMMunicate:MODBus:F32?
    {1, 1, 0, &g_pModbusUseFloat32, NoNode, "", 0, 0, 1},
    // 211 SYSTem:COMMunicate:MODBus:F32
    {0, 0, 0, &g_pModbusUseFloat32, NoNode, "", 0, 47, 1},
    // 212 SYSTem:COMMunicate:USBTmc[:ENABle]?
    {1, 1, 0, &g_pUsbtmcEnabled, NoNode, "", 0, 0, 1},
    // 213 SYSTem:COMMunicate:USBTmc[:ENABle]
    {0, 0, 0, NoNode, NoNode, "", 0, 47, 0},
    // 214 SYSTem:COMMunicate:VXI11[:ENABle]?
    {1, 1, 0, &g_pVxi11Enabled, NoNode, "", 0, 0, 1},
    // 215 SYSTem:COMMunicate:VXI11[:ENABle]
    {0, 0, 0, &g_pVxi11Enabled, NoNode, "", 0, 47, 1},
    // 216 SYSTem:LOCK:REQuest?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 217 SYSTem:LOCK:RELease
    {0, 0, 0, NoNode, NoNode, "", 0, 47, 0},
    // 218 SYSTem:POFF
    {0, 0, Refused, NoNode, NoNode, "", 0, 0, 0},
    // 219 SYSTem:TEMPerature?
    {1, 1, 0, &g_pTemperatureCurrentValue, NoNode, "CEL", 0, 0, 1},
    // 220 SYSTem:CDATe?
    {1, 1, 0, &g_pSystemCalibDate, NoNode, "", 0, 0, 1},
    // 221 SYSTem:MDATe?
    {1, 1, 0, &g_pSystemManufDate, NoNode, "", 0, 0, 1},
    // 222 TRIGger[:SEQuence1]:COUNt?
    {1, 1, 0, &g_pTriggerInCount, NoNode, "", 0, 0, 1},
    // 223 TRIGger[:SEQuence1]:COUNt
    {0, 0, Refused, &g_pTriggerInCount, NoNode, "", 0, 57, 1},
    // 224 TRIGger[:SEQuence1]:SLOPe?
    {1, 1, 0, &g_pTriggerInSlope, NoNode, "", 0, 0, 1},
    // 225 TRIGger[:SEQuence1]:SLOPe
    {0, 0, Refused, &g_pTriggerInSlope, NoNode, "", 0, 57, 1},
    // 226 TRIGger[:SEQuence1]:SOURce?
    {1, 1, 0, &g_pTriggerInSource, NoNode, "", 0, 0, 1},
    // 227 TRIGger[:SEQuence1]:SOURce
    {0, 0, Refused, &g_pTriggerInSource, NoNode, "", 0, 57, 1},
    // 228 TRIGger[:SEQuence1]:TIMer?
    {1, 1, 0, &g_pTriggerInTimer, NoNode, "S", 0, 0, 1},
    // 229 TRIGger[:SEQuence1]:TIMer
    {0, 0, Refused, &g_pTriggerInTimer, NoNode, "S", 0, 57, 1},
    // 230 TRIGger:SEQuence2:LEVel?
    {1, 1, 0, &g_pTriggerOutLevel, NoNode, "T", 1, 0, 1},
    // 231 TRIGger:SEQuence2:LEVel
    {0, 0, Refused, &g_pTriggerOutLevel, NoNode, "T", 1, 57, 0},
    // 232 TRIGger:SEQuence2:SLOPe?
    {1, 1, 0, &g_pTriggerOutSlope, NoNode, "", 0, 0, 1},
    // 233 TRIGger:SEQuence2:SLOPe
    {0, 0, Refused, &g_pTriggerOutSlope, NoNode, "", 0, 57, 0},
    // 234 UNIT?
    {1, 1, 0, &g_pUnitsSelected, NoNode, "", 0, 0, 1},
    // 235 UNIT
    {0, 0, Refused, &g_pUnitsSelected, NoNode, "", 0, 60, 1},
    // 236 UNIT:ALL?
    {1, 1, 0, NoNode, NoNode, "", 0, 0, 0},
    // 237 UNIT:PPMReference?
    {1, 1, 0, &g_pUnitsPpmRef, NoNode, "T", 1, 0, 1},
    // 238 UNIT:PPMReference
    {0, 0, 0, &g_pUnitsPpmRef, NoNode, "T", 1, 60, 0},
};

namespace {

// Parameter slots; the Opt forms may be left out.
constexpr ScpiParameterDescriptor Slot(std::uint32_t optional, ScpiParameterKind kind,
                                       const void* descriptor)
{
    return {optional, kind, descriptor};
}
constexpr ScpiParameterDescriptor Num = Slot(0, ScpiKindNumeric, Numeric(ScpiNumPlain));
constexpr ScpiParameterDescriptor OptNumFlux = Slot(1, ScpiKindNumeric, Numeric(ScpiNumFlux));
constexpr ScpiParameterDescriptor OptBool = Slot(1, ScpiKindBoolean, &ScpiBooleanNoDefault);
constexpr ScpiParameterDescriptor Str = Slot(0, ScpiKindString, nullptr);
constexpr ScpiParameterDescriptor Text = Slot(0, ScpiKindText, nullptr);
constexpr ScpiParameterDescriptor Block = Slot(0, ScpiKindBlock, nullptr);
constexpr ScpiParameterDescriptor Chan = Slot(0, ScpiKindChannelList, &ScpiChannelListParameter);
constexpr ScpiParameterDescriptor OptChan =
    Slot(1, ScpiKindChannelList, &ScpiChannelListParameter);
// Choice row c<label>.
constexpr ScpiParameterDescriptor Choice(unsigned label)
{
    return Slot(0, ScpiKindChoice, &ScpiChoiceRows[label - 1]);
}
constexpr ScpiParameterDescriptor OptChoice(unsigned label)
{
    return Slot(1, ScpiKindChoice, &ScpiChoiceRows[label - 1]);
}

}  // namespace

const ScpiParameterDescriptor ScpiParameterTable[ScpiCommandCount + 1][ScpiParameterSlots] = {
    {},                                                 // 0 *CLS
    {Num},                                              // 1 *ESE
    {},                                                 // 2 *ESE?
    {},                                                 // 3 *ESR?
    {},                                                 // 4 *IDN?
    {},                                                 // 5 *OPC
    {},                                                 // 6 *OPC?
    {},                                                 // 7 *RST
    {Num},                                              // 8 *SRE
    {},                                                 // 9 *SRE?
    {},                                                 // 10 *STB?
    {},                                                 // 11 *TRG
    {},                                                 // 12 *TST?
    {},                                                 // 13 *WAI
    {},                                                 // 14 SYSTem:ERRor[:NEXT]?
    {},                                                 // 15 SYSTem:VERSion?
    {},                                                 // 16 SYSTem:HELP:HEADers?
    {Text},                                             // 17 SYSTem:HELP:SYNTax?
    {},                                                 // 18 STATus:OPERation[:EVENt]?
    {},                                                 // 19 STATus:OPERation:CONDition?
    {},                                                 // 20 STATus:OPERation:ENABle?
    {Num},                                              // 21 STATus:OPERation:ENABle
    {},                                                 // 22 STATus:QUEStionable[:EVENt]?
    {},                                                 // 23 STATus:QUEStionable:CONDition?
    {},                                                 // 24 STATus:QUEStionable:ENABle?
    {Num},                                              // 25 STATus:QUEStionable:ENABle
    {},                                                 // 26 STATus:PRESet
    {},                                                 // 27 ABORt
    {OptChoice(1)},                                     // 28 [CALCulate:]AVERage#:COUNt?
    {Choice(2)},                                        // 29 [CALCulate:]AVERage#:COUNt
    {OptChoice(3)},                                     // 30 [CALCulate:]AVERage#[:STATe]?
    {Choice(4)},                                        // 31 [CALCulate:]AVERage#[:STATe]
    {},                                                 // 32 [CALCulate:]AVERage#:TCONtrol?
    {Choice(5)},                                        // 33 [CALCulate:]AVERage#:TCONtrol
    {},                                                 // 34 CONFigure?
    {},                                                 // 35 CONFigure[:MEASure]:MODE?
    {Choice(6)},                                        // 36 CONFigure[:MEASure]:MODE
    {OptChoice(3)},                                     // 37 CONFigure[:MEASure]:REJect?
    {Choice(4)},                                        // 38 CONFigure[:MEASure]:REJect
    {OptChoice(1)},                                     // 39 CONFigure[:MEASure]:LEVel?
    {Choice(7)},                                        // 40 CONFigure[:MEASure]:LEVel
    {OptChoice(1)},                                     // 41 CONFigure[:MEASure]:BANDwidth?
    {Choice(8)},                                        // 42 CONFigure[:MEASure]:BANDwidth
    {OptChoice(1)},                                     // 43 CONFigure[:MEASure]:POINts?
    {Choice(2)},                                        // 44 CONFigure[:MEASure]:POINts
    {OptChoice(1)},                                     // 45 CONFigure[:MEASure]:HYSTeresis?
    {Choice(2)},                                        // 46 CONFigure[:MEASure]:HYSTeresis
    {},                                                 // 47 CONFigure:PROBe:MODE?
    {Choice(6)},                                        // 48 CONFigure:PROBe:MODE
    {OptChoice(1)},                                     // 49 CONFigure:PROBe:MATChing?
    {Choice(7)},                                        // 50 CONFigure:PROBe:MATChing
    {OptChoice(1)},                                     // 51 CONFigure:PROBe:TUNing?
    {Choice(7)},                                        // 52 CONFigure:PROBe:TUNing
    {OptChoice(1)},                                     // 53 CONFigure:SEARch:LEVel?
    {Choice(7)},                                        // 54 CONFigure:SEARch:LEVel
    {OptChoice(1)},                                     // 55 CONFigure:SEARch:FSTEp?
    {Choice(8)},                                        // 56 CONFigure:SEARch:FSTEp
    {},                                                 // 57 CONFigure:SEARch:MODE?
    {Choice(9)},                                        // 58 CONFigure:SEARch:MODE
    {},                                                 // 59 CONFigure:SEARch:HALLenable?
    {Choice(4)},                                        // 60 CONFigure:SEARch:HALLenable
    {OptChoice(1)},                                     // 61 CONFigure:SEARch[:LIMit]:HIGH?
    {Choice(10)},                                       // 62 CONFigure:SEARch[:LIMit]:HIGH
    {OptChoice(1)},                                     // 63 CONFigure:SEARch[:LIMit]:LOW?
    {Choice(10)},                                       // 64 CONFigure:SEARch[:LIMit]:LOW
    {OptChoice(1)},                                     // 65 CONFigure:SEARch[:LIMit]:VALue?
    {Choice(10)},                                       // 66 CONFigure:SEARch[:LIMit]:VALue
    {OptChoice(1)},                                     // 67 CONFigure:TRACking[:LIMit]:HIGH?
    {Choice(8)},                                        // 68 CONFigure:TRACking[:LIMit]:HIGH
    {OptChoice(1)},                                     // 69 CONFigure:TRACking[:LIMit]:LOW?
    {Choice(8)},                                        // 70 CONFigure:TRACking[:LIMit]:LOW
    {OptChoice(1)},                                     // 71 CONFigure:TRACking:HYSTeresis?
    {Choice(2)},                                        // 72 CONFigure:TRACking:HYSTeresis
    {},                                                 // 73 DIAGnostic:UPGRade[:INITiate]
    {},                                                 // 74 DIAGnostic:LOG[:DATA]?
    {OptChoice(2)},                                     // 75 FETCh[:SCALar][:FLUX]?
    {OptChoice(2)},                                     // 76 FETCh[:SCALar]:SIGMa?
    {OptChoice(2)},                                     // 77 FETCh[:SCALar]:UNIFormity?
    {},                                                 // 78 FETCh[:SCALar]:CHANnel?
    {},                                                 // 79 FETCh[:SCALar]:TIMestamp?
    {},                                                 // 80 FETCh[:SCALar]:STATus?
    {OptChoice(2)},                                     // 81 FETCh[:SCALar]:IFRequency?
    {OptChoice(2)},                                     // 82 FETCh[:SCALar]:RELaxation?
    {OptChoice(2)},                                     // 83 FETCh[:SCALar]:RFFRequency?
    {},                                                 // 84 FETCh[:SCALar]:SPRogress?
    {Choice(2), OptChoice(2)},                          // 85 FETCh:ARRay[:FLUX]?
    {Choice(2), OptChoice(2)},                          // 86 FETCh:ARRay:SIGMa?
    {Choice(2), OptChoice(2)},                          // 87 FETCh:ARRay:UNIFormity?
    {Choice(2)},                                        // 88 FETCh:ARRay:CHANnel?
    {Choice(2)},                                        // 89 FETCh:ARRay:TIMestamp?
    {Choice(2)},                                        // 90 FETCh:ARRay:STATus?
    {Choice(2)},                                        // 91 FETCh:ARRay:NMRSignal?
    {Choice(2)},                                        // 92 FETCh:ARRay:FFTBuffer?
    {Choice(2)},                                        // 93 FETCh:ARRay:SPECtrum?
    {Choice(2)},                                        // 94 FETCh:ARRay:FIT?
    {},                                                 // 95 FORMat[:DATA]?
    {Choice(11)},                                       // 96 FORMat[:DATA]
    {},                                                 // 97 INITiate[:IMMediate][:ALL]
    {OptChoice(3)},                                     // 98 INITiate[:IMMediate]:CONTinuous?
    {Choice(4)},                                        // 99 INITiate[:IMMediate]:CONTinuous
    {},                                                 // 100 INPut:CLOCk[:SOURce]?
    {Choice(12)},                                       // 101 INPut:CLOCk[:SOURce]
    {OptNumFlux, OptChoice(2), OptChan},                // 102 MEASure[:SCALar][:FLUX]?
    {Choice(2), OptNumFlux, OptChoice(2), OptChan},     // 103 MEASure:ARRay[:FLUX]?
    {},                                                 // 104 MMEMory[:CATalog]?
    {Str},                                              // 105 MMEMory:DATA?
    {Str, Block},                                       // 106 MMEMory:DATA
    {Str},                                              // 107 MMEMory:DELete
    {Num, Str},                                         // 108 MMEMory:LOAD[:STATe]
    {Num, Str, Choice(13)},                             // 109 MMEMory:STORe[:STATe]
    {OptChoice(3)},                                     // 110 OUTPut[:TRIGger][:STATe]?
    {Choice(4)},                                        // 111 OUTPut[:TRIGger][:STATe]
    {},                                                 // 112 OUTPut[:TRIGger]:IMMediate
    {OptChoice(3)},                                     // 113 OUTPut[:TRIGger]:SHAPe?
    {Choice(14)},                                       // 114 OUTPut[:TRIGger]:SHAPe
    {OptChoice(3)},                                     // 115 OUTPut[:TRIGger]:POLarity?
    {Choice(15)},                                       // 116 OUTPut[:TRIGger]:POLarity
    {OptChoice(1)},                                     // 117 OUTPut[:TRIGger]:WIDTh?
    {Choice(16)},                                       // 118 OUTPut[:TRIGger]:WIDTh
    {OptChoice(1)},                                     // 119 OUTPut[:TRIGger]:DELay?
    {Choice(17)},                                       // 120 OUTPut[:TRIGger]:DELay
    {OptNumFlux, OptChoice(2), OptChan},                // 121 READ[:SCALar][:FLUX]?
    {Choice(2), OptNumFlux, OptChoice(2), OptChan},     // 122 READ:ARRay[:FLUX]?
    {Chan},                                             // 123 ROUTe:CLOSe
    {},                                                 // 124 ROUTe:CLOSe:STATe?
    {},                                                 // 125 ROUTe:CLOSe:ACTive?
    {Chan},                                             // 126 ROUTe:PROBe:MODel?
    {Chan},                                             // 127 ROUTe:PROBe:SERialno?
    {Chan},                                             // 128 ROUTe:PROBe:DESignation?
    {Chan},                                             // 129 ROUTe:PROBe:MINimum?
    {Chan},                                             // 130 ROUTe:PROBe:MAXimum?
    {},                                                 // 131 ROUTe:PROBe:SCAN?
    {},                                                 // 132 ROUTe:PROBe:HALL[:CALibrated]?
    {},                                                 // 133 ROUTe:PROBe:HALL:RAW?
    {Block},                                            // 134 ROUTe:LOWLevel?
    {Chan},                                             // 135 ROUTe:MMEMory:DATA?
    {Chan, Block},                                      // 136 ROUTe:MMEMory:DATA
    {},                                                 // 137 [SENSe:]SWEep[:MODE]?
    {Choice(6)},                                        // 138 [SENSe:]SWEep[:MODE]
    {OptChoice(1)},                                     // 139 [SENSe:]SWEep:OFFSet:TIME?
    {Choice(17)},                                       // 140 [SENSe:]SWEep:OFFSet:TIME
    {OptChoice(1)},                                     // 141 [SENSe:]SWEep:TIME?
    {Choice(17)},                                       // 142 [SENSe:]SWEep:TIME
    {OptChoice(1)},                                     // 143 [SENSe:]SWEep:FREQuency?
    {Choice(8)},                                        // 144 [SENSe:]SWEep:FREQuency
    {},                                                 // 145 [SOURce:]PULSe[:MODE]?
    {Choice(6)},                                        // 146 [SOURce:]PULSe[:MODE]
    {OptChoice(1)},                                     // 147 [SOURce:]PULSe:PERiod?
    {Choice(17)},                                       // 148 [SOURce:]PULSe:PERiod
    {OptChoice(1)},                                     // 149 [SOURce:]PULSe:WIDTh?
    {Choice(17)},                                       // 150 [SOURce:]PULSe:WIDTh
    {},                                                 // 151 STATus:OPERation:NTRansition?
    {Num},                                              // 152 STATus:OPERation:NTRansition
    {},                                                 // 153 STATus:OPERation:PTRansition?
    {Num},                                              // 154 STATus:OPERation:PTRansition
    {},                                                 // 155 STATus:OPERation:BIT11[:EVENt]?
    {},                                                 // 156 STATus:OPERation:BIT11:CONDition?
    {},                                                 // 157 STATus:OPERation:BIT11:ENABle?
    {Num},                                              // 158 STATus:OPERation:BIT11:ENABle
    {},                                                 // 159 STATus:OPERation:BIT11:NTRansition?
    {Num},                                              // 160 STATus:OPERation:BIT11:NTRansition
    {},                                                 // 161 STATus:OPERation:BIT11:PTRansition?
    {Num},                                              // 162 STATus:OPERation:BIT11:PTRansition
    {},                                                 // 163 STATus:OPERation:BIT12[:EVENt]?
    {},                                                 // 164 STATus:OPERation:BIT12:CONDition?
    {},                                                 // 165 STATus:OPERation:BIT12:ENABle?
    {Num},                                              // 166 STATus:OPERation:BIT12:ENABle
    {},                                                 // 167 STATus:OPERation:BIT12:NTRansition?
    {Num},                                              // 168 STATus:OPERation:BIT12:NTRansition
    {},                                                 // 169 STATus:OPERation:BIT12:PTRansition?
    {Num},                                              // 170 STATus:OPERation:BIT12:PTRansition
    {},                                                 // 171 STATus:QUEStionable:NTRansition?
    {Num},                                              // 172 STATus:QUEStionable:NTRansition
    {},                                                 // 173 STATus:QUEStionable:PTRansition?
    {Num},                                              // 174 STATus:QUEStionable:PTRansition
    {},                                                 // 175 STATus:QUEStionable:BIT12[:EVENt]?
    {},                                                 // 176 STATus:QUEStionable:BIT12:CONDition?
    {},                                                 // 177 STATus:QUEStionable:BIT12:ENABle?
    {Num},                                              // 178 STATus:QUEStionable:BIT12:ENABle
    {},                                                 // 179 STATus:QUEStionable:BIT12:NTRansition?
    {Num},                                              // 180 STATus:QUEStionable:BIT12:NTRansition
    {},                                                 // 181 STATus:QUEStionable:BIT12:PTRansition?
    {Num},                                              // 182 STATus:QUEStionable:BIT12:PTRansition
    {OptChoice(3)},                                     // 183 SYSTem:COMMunicate:ETHernet[:ENABle]?
    {Choice(4)},                                        // 184 SYSTem:COMMunicate:ETHernet[:ENABle]
    {},                                                 // 185 SYSTem:COMMunicate:ETHernet:IDENtifier?
    {Text},                                             // 186 SYSTem:COMMunicate:ETHernet:IDENtifier
    {OptChoice(3)},                                     // 187 SYSTem:COMMunicate:ETHernet:AUTO?
    {Choice(4)},                                        // 188 SYSTem:COMMunicate:ETHernet:AUTO
    {},                                                 // 189 SYSTem:COMMunicate:ETHernet:ADDRess?
    {Text},                                             // 190 SYSTem:COMMunicate:ETHernet:ADDRess
    {},                                                 // 191 SYSTem:COMMunicate:ETHernet:MASK?
    {Text},                                             // 192 SYSTem:COMMunicate:ETHernet:MASK
    {},                                                 // 193 SYSTem:COMMunicate:ETHernet:BROadcast?
    {Text},                                             // 194 SYSTem:COMMunicate:ETHernet:BROadcast
    {},                                                 // 195 SYSTem:COMMunicate:ETHernet:GATeway?
    {Text},                                             // 196 SYSTem:COMMunicate:ETHernet:GATeway
    {},                                                 // 197 SYSTem:COMMunicate:ETHernet:DNSServer?
    {Text},                                             // 198 SYSTem:COMMunicate:ETHernet:DNSServer
    {},                                                 // 199 SYSTem:COMMunicate:ETHernet:DOMain?
    {Text},                                             // 200 SYSTem:COMMunicate:ETHernet:DOMain
    {OptChoice(3)},                                     // 201 SYSTem:COMMunicate:ETHernet:NBNS?
    {Choice(4)},                                        // 202 SYSTem:COMMunicate:ETHernet:NBNS
    {},                                                 // 203 SYSTem:COMMunicate:ETHernet:RESTart
    {OptChoice(3)},                                     // 204 SYSTem:COMMunicate:MODBus[:ENABle]?
    {Choice(4)},                                        // 205 SYSTem:COMMunicate:MODBus[:ENABle]
    {},                                                 // 206 SYSTem:COMMunicate:MODBus:HOSTs?
    {Text},                                             // 207 SYSTem:COMMunicate:MODBus:HOSTs
    {OptChoice(1)},                                     // 208 SYSTem:COMMunicate:MODBus:NCONnections?
    {Choice(2)},                                        // 209 SYSTem:COMMunicate:MODBus:NCONnections
    {OptChoice(3)},                                     // 210 SYSTem:COMMunicate:MODBus:F32?
    {Choice(4)},                                        // 211 SYSTem:COMMunicate:MODBus:F32
    {OptChoice(3)},                                     // 212 SYSTem:COMMunicate:USBTmc[:ENABle]?
    {Choice(4)},                                        // 213 SYSTem:COMMunicate:USBTmc[:ENABle]
    {OptChoice(3)},                                     // 214 SYSTem:COMMunicate:VXI11[:ENABle]?
    {Choice(4)},                                        // 215 SYSTem:COMMunicate:VXI11[:ENABle]
    {},                                                 // 216 SYSTem:LOCK:REQuest?
    {},                                                 // 217 SYSTem:LOCK:RELease
    {OptBool},                                          // 218 SYSTem:POFF
    {},                                                 // 219 SYSTem:TEMPerature?
    {},                                                 // 220 SYSTem:CDATe?
    {},                                                 // 221 SYSTem:MDATe?
    {OptChoice(1)},                                     // 222 TRIGger[:SEQuence1]:COUNt?
    {Choice(2)},                                        // 223 TRIGger[:SEQuence1]:COUNt
    {},                                                 // 224 TRIGger[:SEQuence1]:SLOPe?
    {Choice(18)},                                       // 225 TRIGger[:SEQuence1]:SLOPe
    {OptChoice(3)},                                     // 226 TRIGger[:SEQuence1]:SOURce?
    {Choice(19)},                                       // 227 TRIGger[:SEQuence1]:SOURce
    {OptChoice(1)},                                     // 228 TRIGger[:SEQuence1]:TIMer?
    {Choice(17)},                                       // 229 TRIGger[:SEQuence1]:TIMer
    {OptChoice(1)},                                     // 230 TRIGger:SEQuence2:LEVel?
    {Choice(20)},                                       // 231 TRIGger:SEQuence2:LEVel
    {},                                                 // 232 TRIGger:SEQuence2:SLOPe?
    {Choice(18)},                                       // 233 TRIGger:SEQuence2:SLOPe
    {OptChoice(3)},                                     // 234 UNIT?
    {Choice(21)},                                       // 235 UNIT
    {},                                                 // 236 UNIT:ALL?
    {OptChoice(1)},                                     // 237 UNIT:PPMReference?
    {Choice(22)},                                       // 238 UNIT:PPMReference
    {},
};

}  // namespace Korvex
