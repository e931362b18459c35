#pragma once
// Result codes: bit 31 set means failure.

#include <cstdint>

using HRESULT = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using BOOL = int32_t;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT MakeHResult(uint32_t code) { return static_cast<HRESULT>(code); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeHResult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeHResult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeHResult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154);
inline constexpr HRESULT STG_E_READFAULT = MakeHResult(0x8003001E);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHResult(0x80030001);
inline constexpr HRESULT MK_E_UNAVAILABLE = MakeHResult(0x800401E3);
inline constexpr HRESULT MK_E_NOOBJECT = MakeHResult(0x800401E5);
