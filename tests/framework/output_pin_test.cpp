// CBasePin and CBaseOutputPin on a small test filter: interfaces, pin info, the
// unconnected state, type agreement (proposal rules, peer's types first, error
// mapping), complete undo of failed connections, allocator negotiation with the
// fallback to CLSID_MemoryAllocator, the type kept for the peer, and delivery.
#include <gtest/gtest.h>

#include <dshow.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/allocation_failure_scope.h"
#include "common/com_test_helpers.h"
#include "common/fake_allocator.h"
#include "common/fake_input_pin.h"
#include "common/task_mem_spy.h"
#include "framework/base_filter.h"
#include "framework/base_output_pin.h"

namespace veltrano::framework {
namespace {

using test::FakeAllocator;
using test::FakeInputPin;
using test::GetRefcount;

constexpr ULONG kFormatSize = 100;  // not 88 = sizeof(AM_MEDIA_TYPE)
constexpr long kBufferSize = 4096;
// {6F1D2B7E-3C41-4E0A-9A51-2D7C0B9E4F11}
const CLSID kTestFilterClsid = {0x6f1d2b7e, 0x3c41, 0x4e0a, {0x9a, 0x51, 0x2d, 0x7c, 0x0b, 0x9e, 0x4f, 0x11}};

BYTE SeedOf(const GUID& subtype) { return static_cast<BYTE>(subtype.Data1 & 0xFF); }

// A video type of `subtype` with a 100-byte format block whose bytes follow `seed`.
void MakeVideoType(CMediaTypeRecord* type, const GUID& subtype, int seed = -1) {
  type->ResetToDefault();
  type->majortype = MEDIATYPE_Video;
  type->subtype = subtype;
  type->formattype = FORMAT_VideoInfo;
  type->lSampleSize = kBufferSize;
  BYTE* block = type->EnsureFormatBlock(kFormatSize);
  ASSERT_NE(nullptr, block);
  const BYTE first = seed < 0 ? SeedOf(subtype) : static_cast<BYTE>(seed);
  for (ULONG i = 0; i < kFormatSize; ++i) block[i] = static_cast<BYTE>(first + i);
}

// The output pin under test: offers `own_subtypes`, judges types by `verdicts`
// (S_OK for any other subtype), sizes buffers of 4096 bytes and records its hooks.
class TestOutputPin final : public CBaseOutputPin {
 public:
  TestOutputPin(CBaseFilter* filter, platform::CriticalSection* lock, const wchar_t* name, HRESULT* result)
      : CBaseOutputPin(filter, lock, name, result) {}

  std::vector<GUID> own_subtypes;
  std::vector<std::pair<GUID, HRESULT>> verdicts;
  HRESULT own_enum_result = S_OK;
  HRESULT finish_override = S_OK;  // returned after a successful negotiation when not S_OK

  std::vector<GUID> validated;
  int media_type_at_calls = 0;
  int own_allocator_calls = 0;
  IMemAllocator* own_allocator = nullptr;  // no reference: compared only
  IMemAllocator* sized_allocator = nullptr;
  ALLOCATOR_PROPERTIES sized_request = {};

  IMemAllocator* current_allocator() const { return allocator(); }
  IMemInputPin* transport() const { return downstream_input(); }

  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override {
    if (FAILED(own_enum_result)) {
      if (out) *out = nullptr;
      return own_enum_result;
    }
    return CBaseOutputPin::EnumMediaTypes(out);
  }
  HRESULT ValidateMediaType(const AM_MEDIA_TYPE* type) override {
    validated.push_back(type->subtype);
    for (const auto& [subtype, verdict] : verdicts) {
      if (subtype == type->subtype) return verdict;
    }
    return S_OK;
  }
  HRESULT MediaTypeAt(LONG position, CMediaTypeRecord* type) override {
    ++media_type_at_calls;
    if (position < 0) return E_INVALIDARG;
    if (static_cast<size_t>(position) >= own_subtypes.size()) return VFW_S_NO_MORE_ITEMS;
    MakeVideoType(type, own_subtypes[position]);
    return S_OK;
  }
  HRESULT SizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    sized_allocator = allocator;
    sized_request = *request;
    if (request->cBuffers < 1) request->cBuffers = 1;
    request->cbBuffer = kBufferSize;
    ALLOCATOR_PROPERTIES actual = {};
    const HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < kBufferSize || actual.cBuffers < 1 ? E_FAIL : S_OK;
  }
  HRESULT CreateOwnAllocator(IMemAllocator** allocator) override {
    ++own_allocator_calls;
    const HRESULT hr = CBaseOutputPin::CreateOwnAllocator(allocator);
    own_allocator = SUCCEEDED(hr) ? *allocator : nullptr;
    return hr;
  }
  HRESULT FinishConnection(IPin* peer) override {
    const HRESULT hr = CBaseOutputPin::FinishConnection(peer);
    if (FAILED(hr) || finish_override == S_OK) return hr;
    return finish_override;
  }
};

// A filter holding one TestOutputPin; the pin shares the filter's lock.
class TestFilter final : public CBaseFilter {
 public:
  TestFilter(const wchar_t* pin_name, HRESULT* result) : CBaseFilter(nullptr, kTestFilterClsid, &lock_) {
    pin_ = new (std::nothrow) TestOutputPin(this, &lock_, pin_name, result);
    if (!pin_) StoreResult(result, E_OUTOFMEMORY);
  }
  ~TestFilter() override { delete pin_; }

  LONG PinCount() override { return 1; }
  CBasePin* PinAt(LONG index) override { return index == 0 ? pin_ : nullptr; }
  TestOutputPin* pin() const { return pin_; }
  IBaseFilter* base_filter() { return static_cast<IBaseFilter*>(this); }

 private:
  platform::CriticalSection lock_;
  TestOutputPin* pin_ = nullptr;
};

class OutputPin : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    active_before_ = ActiveObjectCount();
    HRESULT result = S_OK;
    filter_ = new TestFilter(L"Out", &result);
    filter_->InnerAddRef();
    ASSERT_EQ(S_OK, result);
    pin_ = filter_->pin();
    ipin_ = static_cast<IPin*>(pin_);
  }
  void TearDown() override {
    EXPECT_EQ(0u, filter_->InnerRelease());
    EXPECT_EQ(active_before_, ActiveObjectCount());
    ::CoUninitialize();
  }

  HRESULT ConnectWith(const GUID& subtype, FakeInputPin* peer = nullptr) {
    CMediaTypeRecord proposal;
    MakeVideoType(&proposal, subtype);
    return ipin_->Connect(peer ? peer : &peer_, &proposal);
  }
  void DisconnectBoth(FakeInputPin* peer = nullptr) {
    EXPECT_EQ(S_OK, ipin_->Disconnect());
    EXPECT_EQ(S_OK, (peer ? peer : &peer_)->Disconnect());
  }
  GUID ConnectedSubtype() {
    AM_MEDIA_TYPE type = {};
    EXPECT_EQ(S_OK, ipin_->ConnectionMediaType(&type));
    const GUID subtype = type.subtype;
    FreeMediaTypeContents(&type);
    return subtype;
  }
  // Nothing of a connection is left: no peer, no transport, no allocator.
  void ExpectUnconnected(FakeInputPin* peer = nullptr) {
    FakeInputPin& fake = peer ? *peer : peer_;
    EXPECT_FALSE(pin_->IsConnected());
    EXPECT_EQ(nullptr, pin_->current_allocator());
    EXPECT_EQ(nullptr, pin_->transport());
    EXPECT_EQ(1, fake.ref_count());
    EXPECT_EQ(nullptr, fake.connector());
    EXPECT_EQ(1u, GetRefcount(filter_->base_filter()));
  }

  long active_before_ = 0;
  FakeInputPin peer_;
  TestFilter* filter_ = nullptr;
  TestOutputPin* pin_ = nullptr;
  IPin* ipin_ = nullptr;
};

TEST_F(OutputPin, InterfacesAndCountsGoToTheFilter) {
  EXPECT_INTERFACE(ipin_, IID_IPin, true);
  EXPECT_INTERFACE(ipin_, IID_IQualityControl, true);
  EXPECT_INTERFACE(ipin_, IID_IUnknown, true);
  EXPECT_INTERFACE(ipin_, IID_IMemInputPin, false);
  EXPECT_INTERFACE(ipin_, IID_IBaseFilter, false);
  EXPECT_EQ(E_POINTER, ipin_->QueryInterface(IID_IPin, nullptr));
  EXPECT_EQ(E_POINTER, pin_->InnerQueryInterface(IID_IUnknown, nullptr));

  EXPECT_EQ(2u, ipin_->AddRef());
  EXPECT_EQ(2u, GetRefcount(filter_->base_filter()));
  IUnknown* identity = nullptr;
  ASSERT_EQ(S_OK, ipin_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  EXPECT_EQ(pin_->inner_unknown(), identity);
  EXPECT_EQ(3u, GetRefcount(filter_->base_filter()));
  identity->Release();
  EXPECT_EQ(1u, ipin_->Release());
}

TEST_F(OutputPin, PinInfoAndDirection) {
  EXPECT_EQ(E_POINTER, ipin_->QueryPinInfo(nullptr));
  PIN_INFO info;
  std::memset(&info, 0xCC, sizeof(info));
  ASSERT_EQ(S_OK, ipin_->QueryPinInfo(&info));
  EXPECT_EQ(filter_->base_filter(), info.pFilter);
  EXPECT_EQ(2u, GetRefcount(filter_->base_filter()));
  EXPECT_STREQ(L"Out", info.achName);
  EXPECT_EQ(PINDIR_OUTPUT, info.dir);
  info.pFilter->Release();

  EXPECT_EQ(E_POINTER, ipin_->QueryDirection(nullptr));
  PIN_DIRECTION direction = PINDIR_INPUT;
  EXPECT_EQ(S_OK, ipin_->QueryDirection(&direction));
  EXPECT_EQ(PINDIR_OUTPUT, direction);
}

TEST(OutputPinName, LongNamesAreCutAt127AndAMissingNameIsEmpty) {
  const std::wstring long_name(200, L'n');
  for (const wchar_t* name : {long_name.c_str(), static_cast<const wchar_t*>(nullptr)}) {
    HRESULT result = S_OK;
    auto* filter = new TestFilter(name, &result);
    filter->InnerAddRef();
    EXPECT_EQ(S_OK, result);
    PIN_INFO info;
    std::memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(S_OK, static_cast<IPin*>(filter->pin())->QueryPinInfo(&info));
    EXPECT_EQ(name ? long_name.substr(0, 127) : std::wstring(), std::wstring(info.achName));
    info.pFilter->Release();
    EXPECT_EQ(0u, filter->InnerRelease());
  }
}

TEST(OutputPinName, AFailedNameCopyIsReported) {
  HRESULT result = S_OK;
  int refused = 0;
  {
    // On the stack and without a filter, the name copy is the pin's only allocation.
    test::AllocationFailureScope fail;
    TestOutputPin pin(nullptr, nullptr, L"Capture", &result);
    refused = fail.failures();
    PIN_INFO info;
    std::memset(&info, 0xCC, sizeof(info));
    EXPECT_EQ(S_OK, pin.QueryPinInfo(&info));
    EXPECT_EQ(nullptr, info.pFilter);
    EXPECT_EQ(L'\0', info.achName[0]);
  }
  EXPECT_EQ(E_OUTOFMEMORY, result);
  EXPECT_EQ(1, refused);
}

TEST_F(OutputPin, UnconnectedState) {
  EXPECT_EQ(E_POINTER, ipin_->ConnectedTo(nullptr));
  IPin* peer = reinterpret_cast<IPin*>(static_cast<uintptr_t>(0xdeadbeef));
  EXPECT_EQ(VFW_E_NOT_CONNECTED, ipin_->ConnectedTo(&peer));
  EXPECT_EQ(nullptr, peer);

  EXPECT_EQ(E_POINTER, ipin_->ConnectionMediaType(nullptr));
  AM_MEDIA_TYPE type;
  std::memset(&type, 0xCC, sizeof(type));
  EXPECT_EQ(VFW_E_NOT_CONNECTED, ipin_->ConnectionMediaType(&type));
  const CMediaTypeRecord defaults;
  EXPECT_TRUE(test::MediaTypesEqual(defaults, type));

  EXPECT_EQ(S_FALSE, ipin_->Disconnect());
  EXPECT_EQ(E_UNEXPECTED, ipin_->EndOfStream());
  EXPECT_EQ(E_UNEXPECTED, ipin_->BeginFlush());
  EXPECT_EQ(E_UNEXPECTED, ipin_->EndFlush());
  EXPECT_EQ(E_NOTIMPL, ipin_->QueryInternalConnections(nullptr, nullptr));
  EXPECT_EQ(S_OK, ipin_->NewSegment(0, 10000, 1.0));
  EXPECT_EQ(E_NOTIMPL, pin_->Notify(filter_->base_filter(), Quality{}));
  EXPECT_EQ(S_OK, pin_->SetSink(nullptr));

  EXPECT_EQ(VFW_E_NOT_CONNECTED, pin_->SendEndOfStream());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, pin_->SendBeginFlush());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, pin_->SendEndFlush());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, pin_->SendNewSegment(0, 1, 1.0));
  EXPECT_EQ(VFW_E_NOT_CONNECTED, pin_->PushSample(nullptr));
  IMediaSample* sample = nullptr;
  EXPECT_EQ(E_NOINTERFACE, pin_->AcquireSample(&sample, nullptr, nullptr, 0));
  EXPECT_EQ(VFW_E_NO_ALLOCATOR, pin_->OnActivate());
  EXPECT_EQ(VFW_E_NO_ALLOCATOR, pin_->OnDeactivate());
  // An unconnected pin is not activated by the filter.
  EXPECT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(S_OK, filter_->Stop());
}

TEST_F(OutputPin, QueryAcceptTurnsRefusalsIntoSFalse) {
  EXPECT_EQ(E_POINTER, ipin_->QueryAccept(nullptr));
  const std::pair<HRESULT, HRESULT> rows[] = {
      {S_OK, S_OK},
      {E_FAIL, S_FALSE},
      {VFW_E_INVALIDMEDIATYPE, S_FALSE},
      {S_FALSE, S_FALSE},
      {static_cast<HRESULT>(2), static_cast<HRESULT>(2)},  // a success code comes back as it was
  };
  CMediaTypeRecord type;
  MakeVideoType(&type, MEDIASUBTYPE_YUY2);
  for (const auto& [verdict, expected] : rows) {
    pin_->verdicts = {{MEDIASUBTYPE_YUY2, verdict}};
    EXPECT_EQ(expected, ipin_->QueryAccept(&type)) << std::hex << verdict;
  }
}

TEST_F(OutputPin, FullySpecifiedProposalMakesExactlyOneAttempt) {
  pin_->own_subtypes = {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2};
  CMediaTypeRecord offered;
  MakeVideoType(&offered, MEDIASUBTYPE_RGB24);
  peer_.Offer(offered);

  CMediaTypeRecord proposal;
  MakeVideoType(&proposal, MEDIASUBTYPE_YUY2);
  ASSERT_EQ(S_OK, ipin_->Connect(&peer_, &proposal));
  EXPECT_EQ(std::vector<GUID>{MEDIASUBTYPE_YUY2}, pin_->validated);
  EXPECT_EQ(std::vector<GUID>{MEDIASUBTYPE_YUY2}, peer_.receive_connection_subtypes);
  EXPECT_EQ(0, peer_.enum_calls);
  EXPECT_EQ(0, pin_->media_type_at_calls);

  IPin* connected = nullptr;
  ASSERT_EQ(S_OK, ipin_->ConnectedTo(&connected));
  EXPECT_EQ(static_cast<IPin*>(&peer_), connected);
  EXPECT_EQ(4, peer_.ref_count());
  connected->Release();
  EXPECT_EQ(3, peer_.ref_count());  // the connected pin and its transport
  EXPECT_EQ(2u, GetRefcount(filter_->base_filter()));  // the peer holds the pin

  AM_MEDIA_TYPE agreed = {};
  ASSERT_EQ(S_OK, ipin_->ConnectionMediaType(&agreed));
  EXPECT_TRUE(test::MediaTypesEqual(proposal, agreed));
  EXPECT_NE(proposal.pbFormat, agreed.pbFormat);
  FreeMediaTypeContents(&agreed);
  DisconnectBoth();
  ExpectUnconnected();

  // Refused by the pin: no enumeration either.
  pin_->verdicts = {{MEDIASUBTYPE_YUY2, E_FAIL}};
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ipin_->Connect(&peer_, &proposal));
  EXPECT_EQ(0, peer_.enum_calls);
  EXPECT_EQ(0, pin_->media_type_at_calls);
  EXPECT_EQ(2u, pin_->validated.size());
  ExpectUnconnected();
}

TEST_F(OutputPin, PeerTypesAreTriedBeforeOwnTypes) {
  pin_->own_subtypes = {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2};
  pin_->verdicts = {{MEDIASUBTYPE_RGB32, E_FAIL}};
  CMediaTypeRecord type;
  MakeVideoType(&type, MEDIASUBTYPE_RGB32);
  peer_.Offer(type);
  MakeVideoType(&type, MEDIASUBTYPE_YUY2);
  peer_.Offer(type);

  ASSERT_EQ(S_OK, ipin_->Connect(&peer_, nullptr));
  EXPECT_EQ((std::vector<GUID>{MEDIASUBTYPE_RGB32, MEDIASUBTYPE_YUY2}), pin_->validated);
  EXPECT_EQ(MEDIASUBTYPE_YUY2, ConnectedSubtype());
  EXPECT_EQ(0, pin_->media_type_at_calls);
  DisconnectBoth();

  // Nothing acceptable among the peer's types: the pin's own come next.
  FakeInputPin picky;
  MakeVideoType(&type, MEDIASUBTYPE_RGB32);
  picky.Offer(type);
  pin_->validated.clear();
  ASSERT_EQ(S_OK, ipin_->Connect(&picky, nullptr));
  EXPECT_EQ((std::vector<GUID>{MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24}), pin_->validated);
  EXPECT_EQ(MEDIASUBTYPE_RGB24, ConnectedSubtype());
  DisconnectBoth(&picky);
  ExpectUnconnected(&picky);
}

TEST_F(OutputPin, PartialProposalOnlyFiltersEnumeratedTypes) {
  pin_->own_subtypes = {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24};
  CMediaTypeRecord type;
  MakeVideoType(&type, MEDIASUBTYPE_YUY2);
  peer_.Offer(type);
  MakeVideoType(&type, MEDIASUBTYPE_RGB24, /*seed=*/200);  // RGB24 with other format bytes
  peer_.Offer(type);

  // A real major type and subtype but no format type: partial.
  AM_MEDIA_TYPE partial = {};
  partial.majortype = MEDIATYPE_Video;
  partial.subtype = MEDIASUBTYPE_RGB24;
  ASSERT_EQ(S_OK, ipin_->Connect(&peer_, &partial));
  EXPECT_EQ(std::vector<GUID>{MEDIASUBTYPE_RGB24}, pin_->validated);
  AM_MEDIA_TYPE agreed = {};
  ASSERT_EQ(S_OK, ipin_->ConnectionMediaType(&agreed));
  ASSERT_EQ(kFormatSize, agreed.cbFormat);
  EXPECT_EQ(200, agreed.pbFormat[0]);  // the peer's RGB24
  FreeMediaTypeContents(&agreed);
  DisconnectBoth();

  // A format type with its bytes and nothing else: matched on the format block, so
  // only the pin's own RGB24 (default bytes) fits.
  CMediaTypeRecord own_rgb24;
  MakeVideoType(&own_rgb24, MEDIASUBTYPE_RGB24);
  AM_MEDIA_TYPE by_format = {};
  by_format.formattype = FORMAT_VideoInfo;
  by_format.cbFormat = own_rgb24.cbFormat;
  by_format.pbFormat = own_rgb24.pbFormat;
  pin_->validated.clear();
  ASSERT_EQ(S_OK, ipin_->Connect(&peer_, &by_format));
  EXPECT_EQ(std::vector<GUID>{MEDIASUBTYPE_RGB24}, pin_->validated);
  ASSERT_EQ(S_OK, ipin_->ConnectionMediaType(&agreed));
  EXPECT_TRUE(test::MediaTypesEqual(own_rgb24, agreed));
  FreeMediaTypeContents(&agreed);
  DisconnectBoth();

  // Nothing fits: no type is even validated.
  partial.subtype = MEDIASUBTYPE_RGB32;
  pin_->validated.clear();
  const size_t offers = peer_.receive_connection_subtypes.size();
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, ipin_->Connect(&peer_, &partial));
  EXPECT_TRUE(pin_->validated.empty());
  EXPECT_EQ(offers, peer_.receive_connection_subtypes.size());
  ExpectUnconnected();
}

TEST_F(OutputPin, ValidateMediaTypeRefusalsMapToTypeNotAccepted) {
  const std::pair<HRESULT, HRESULT> rows[] = {
      {E_FAIL, VFW_E_TYPE_NOT_ACCEPTED},
      {E_INVALIDARG, VFW_E_TYPE_NOT_ACCEPTED},
      {S_FALSE, VFW_E_TYPE_NOT_ACCEPTED},
      {VFW_E_TYPE_NOT_ACCEPTED, VFW_E_TYPE_NOT_ACCEPTED},
      {VFW_E_INVALIDMEDIATYPE, VFW_E_INVALIDMEDIATYPE},
      {E_OUTOFMEMORY, E_OUTOFMEMORY},
  };
  CMediaTypeRecord type;
  MakeVideoType(&type, MEDIASUBTYPE_YUY2);
  for (const auto& [verdict, expected] : rows) {
    pin_->verdicts = {{MEDIASUBTYPE_YUY2, verdict}};
    EXPECT_EQ(expected, ipin_->Connect(&peer_, &type)) << std::hex << verdict;
    EXPECT_EQ(expected, ipin_->ReceiveConnection(&peer_, &type)) << std::hex << verdict;
    ExpectUnconnected();
  }
  EXPECT_TRUE(peer_.receive_connection_subtypes.empty());
  EXPECT_EQ(0, peer_.get_allocator_calls);
}

TEST_F(OutputPin, EnumerationReportsTheLastPassAndItsFirstRealFailure) {
  CMediaTypeRecord rgb32;
  MakeVideoType(&rgb32, MEDIASUBTYPE_RGB32);
  struct Row {
    const char* what;
    bool peer_offers_rgb32;
    HRESULT peer_enum_result;
    HRESULT own_enum_result;
    std::vector<GUID> own_subtypes;
    std::vector<std::pair<GUID, HRESULT>> verdicts;
    HRESULT expected;
  };
  const Row rows[] = {
      {"real failure in the peer pass only", true, S_OK, E_NOTIMPL, {},
       {{MEDIASUBTYPE_RGB32, E_ACCESSDENIED}}, E_ACCESSDENIED},
      {"generic refusals never count", true, S_OK, E_NOTIMPL, {},
       {{MEDIASUBTYPE_RGB32, E_FAIL}}, VFW_E_NO_ACCEPTABLE_TYPES},
      {"first real failure of an enumerator", false, E_NOTIMPL, S_OK, {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2},
       {{MEDIASUBTYPE_RGB24, E_ACCESSDENIED}, {MEDIASUBTYPE_YUY2, VFW_E_INVALIDMEDIATYPE}}, E_ACCESSDENIED},
      {"a later pass replaces an earlier result", true, S_OK, S_OK, {MEDIASUBTYPE_RGB24},
       {{MEDIASUBTYPE_RGB32, E_ACCESSDENIED}, {MEDIASUBTYPE_RGB24, VFW_E_INVALIDMEDIATYPE}},
       VFW_E_INVALIDMEDIATYPE},
      {"a later pass with only refusals", true, S_OK, S_OK, {MEDIASUBTYPE_RGB24},
       {{MEDIASUBTYPE_RGB32, E_ACCESSDENIED}, {MEDIASUBTYPE_RGB24, E_FAIL}}, VFW_E_NO_ACCEPTABLE_TYPES},
      {"no enumerator at all", true, E_NOTIMPL, E_NOTIMPL, {}, {}, VFW_E_NO_ACCEPTABLE_TYPES},
  };
  for (const Row& row : rows) {
    FakeInputPin peer;
    if (row.peer_offers_rgb32) peer.Offer(rgb32);
    peer.enum_result = row.peer_enum_result;
    pin_->own_enum_result = row.own_enum_result;
    pin_->own_subtypes = row.own_subtypes;
    pin_->verdicts = row.verdicts;
    EXPECT_EQ(row.expected, ipin_->Connect(&peer, nullptr)) << row.what;
    EXPECT_TRUE(peer.receive_connection_subtypes.empty()) << row.what;
    ExpectUnconnected(&peer);
  }

  // A peer's own refusal in ReceiveConnection counts the same way.
  FakeInputPin refusing;
  refusing.Offer(rgb32);
  refusing.accepted_subtypes = {MEDIASUBTYPE_YUY2};
  refusing.refusal = E_ACCESSDENIED;
  pin_->own_enum_result = E_NOTIMPL;
  pin_->verdicts.clear();
  EXPECT_EQ(E_ACCESSDENIED, ipin_->Connect(&refusing, nullptr));
  refusing.refusal = VFW_E_TYPE_NOT_ACCEPTED;
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, ipin_->Connect(&refusing, nullptr));
  ExpectUnconnected(&refusing);
}

TEST_F(OutputPin, InvalidPeersAreRefusedAndLeaveNothing) {
  struct Row {
    const char* what;
    PIN_DIRECTION direction;
    HRESULT query_direction_result;
    bool has_transport;
    HRESULT expected;
  };
  const Row rows[] = {
      {"another output pin", PINDIR_OUTPUT, S_OK, true, VFW_E_INVALID_DIRECTION},
      {"no IMemInputPin", PINDIR_INPUT, S_OK, false, E_NOINTERFACE},
      {"direction unknown", PINDIR_INPUT, E_UNEXPECTED, true, E_UNEXPECTED},
  };
  pin_->own_subtypes = {MEDIASUBTYPE_YUY2};
  CMediaTypeRecord type;
  MakeVideoType(&type, MEDIASUBTYPE_YUY2);
  for (const Row& row : rows) {
    FakeInputPin peer;
    peer.direction = row.direction;
    peer.query_direction_result = row.query_direction_result;
    peer.has_transport = row.has_transport;
    peer.Offer(type);
    EXPECT_EQ(row.expected, ipin_->Connect(&peer, &type)) << row.what;
    ExpectUnconnected(&peer);
    // Through enumeration the peer's failure is the remembered one.
    EXPECT_EQ(row.expected, ipin_->Connect(&peer, nullptr)) << row.what;
    ExpectUnconnected(&peer);
    EXPECT_EQ(row.expected, ipin_->ReceiveConnection(&peer, &type)) << row.what;
    ExpectUnconnected(&peer);
    EXPECT_TRUE(peer.receive_connection_subtypes.empty()) << row.what;
  }
}

TEST_F(OutputPin, ConnectionStateRules) {
  CMediaTypeRecord type;
  MakeVideoType(&type, MEDIASUBTYPE_YUY2);
  EXPECT_EQ(E_POINTER, ipin_->Connect(nullptr, &type));
  EXPECT_EQ(E_POINTER, ipin_->ReceiveConnection(nullptr, &type));
  EXPECT_EQ(E_POINTER, ipin_->ReceiveConnection(&peer_, nullptr));

  ASSERT_EQ(S_OK, ipin_->Connect(&peer_, &type));
  FakeInputPin other;
  EXPECT_EQ(VFW_E_ALREADY_CONNECTED, ipin_->Connect(&other, &type));
  EXPECT_EQ(VFW_E_ALREADY_CONNECTED, ipin_->ReceiveConnection(&other, &type));
  EXPECT_EQ(1, other.ref_count());

  ASSERT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(VFW_E_NOT_STOPPED, ipin_->Disconnect());
  EXPECT_TRUE(pin_->IsConnected());
  ASSERT_EQ(S_OK, filter_->Run(0));
  EXPECT_EQ(VFW_E_NOT_STOPPED, ipin_->Disconnect());
  ASSERT_EQ(S_OK, filter_->Stop());
  DisconnectBoth();

  ASSERT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(VFW_E_NOT_STOPPED, ipin_->Connect(&peer_, &type));
  EXPECT_EQ(VFW_E_NOT_STOPPED, ipin_->ReceiveConnection(&peer_, &type));
  EXPECT_EQ(VFW_E_NOT_STOPPED, ipin_->Disconnect());
  ASSERT_EQ(S_OK, filter_->Stop());
  ExpectUnconnected();
}

TEST_F(OutputPin, RefusedReceiveConnectionUndoesEverything) {
  FakeAllocator allocator;
  peer_.allocator = &allocator;
  peer_.accepted_subtypes = {MEDIASUBTYPE_RGB32};
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectWith(MEDIASUBTYPE_YUY2));
  ExpectUnconnected();
  EXPECT_EQ(0, peer_.disconnects);
  EXPECT_EQ(0, peer_.get_allocator_calls);
  EXPECT_EQ(1, allocator.ref_count());
  IPin* connected = reinterpret_cast<IPin*>(static_cast<uintptr_t>(0xdeadbeef));
  EXPECT_EQ(VFW_E_NOT_CONNECTED, ipin_->ConnectedTo(&connected));
  EXPECT_EQ(nullptr, connected);
}

// A type chosen before connecting (as SetFormat does) survives every failed attempt:
// refused by the peer, failed after the peer accepted, and a failed incoming one.
TEST_F(OutputPin, FailedAttemptsPutTheFormerCurrentTypeBack) {
  CMediaTypeRecord chosen;
  MakeVideoType(&chosen, MEDIASUBTYPE_RGB24, 0x40);
  ASSERT_EQ(S_OK, pin_->ReplaceCurrentMediaType(&chosen));
  auto expect_chosen = [&](const char* after) {
    AM_MEDIA_TYPE current = {};
    ASSERT_EQ(S_OK, pin_->CopyCurrentMediaType(&current));
    EXPECT_EQ(MEDIASUBTYPE_RGB24, current.subtype) << after;
    ASSERT_EQ(chosen.cbFormat, current.cbFormat) << after;
    EXPECT_EQ(0, std::memcmp(chosen.pbFormat, current.pbFormat, chosen.cbFormat)) << after;
    FreeMediaTypeContents(&current);
  };

  FakeAllocator allocator;
  peer_.allocator = &allocator;
  peer_.accepted_subtypes = {MEDIASUBTYPE_RGB32};
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectWith(MEDIASUBTYPE_YUY2));
  expect_chosen("a type the peer refused");

  peer_.accepted_subtypes.clear();
  pin_->finish_override = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, ConnectWith(MEDIASUBTYPE_YUY2));
  expect_chosen("a connection that failed after the peer accepted");

  CMediaTypeRecord incoming;
  MakeVideoType(&incoming, MEDIASUBTYPE_YUY2);
  EXPECT_EQ(E_ACCESSDENIED, ipin_->ReceiveConnection(&peer_, &incoming));
  expect_chosen("a failed incoming connection");
  ExpectUnconnected();

  pin_->finish_override = S_OK;
  ASSERT_EQ(S_OK, ConnectWith(MEDIASUBTYPE_YUY2));
  EXPECT_EQ(MEDIASUBTYPE_YUY2, ConnectedSubtype()) << "a connection that holds adopts its type";
  DisconnectBoth();
}

TEST_F(OutputPin, FailedFinishConnectionTellsThePeerToDisconnect) {
  FakeAllocator allocator;
  peer_.allocator = &allocator;
  pin_->finish_override = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, ConnectWith(MEDIASUBTYPE_YUY2));
  EXPECT_EQ(1, peer_.disconnects);
  EXPECT_EQ(1, peer_.notify_calls);
  EXPECT_EQ(1, allocator.decommits);
  EXPECT_EQ(1, allocator.ref_count());
  ExpectUnconnected();

  // Every allocator refused by NotifyAllocator: the downstream one, then our own.
  pin_->finish_override = S_OK;
  peer_.notify_failures = -1;
  peer_.notify_result = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, ConnectWith(MEDIASUBTYPE_YUY2));
  EXPECT_EQ(2, peer_.disconnects);
  EXPECT_EQ(1, pin_->own_allocator_calls);
  EXPECT_EQ(3, peer_.notify_calls);
  EXPECT_EQ(1, allocator.ref_count());
  ExpectUnconnected();
}

TEST_F(OutputPin, DownstreamAllocatorIsPreferredAndFollowsTheFilterState) {
  FakeAllocator allocator;
  peer_.allocator = &allocator;
  peer_.requirements_result = S_OK;
  peer_.requirements.cbAlign = 0;
  peer_.requirements.cBuffers = 3;
  ASSERT_EQ(S_OK, ConnectWith(MEDIASUBTYPE_YUY2));
  EXPECT_EQ(1, pin_->sized_request.cbAlign);  // 0 is passed on as 1
  EXPECT_EQ(3, pin_->sized_request.cBuffers);
  EXPECT_EQ(static_cast<IMemAllocator*>(&allocator), pin_->sized_allocator);
  EXPECT_EQ(static_cast<IMemAllocator*>(&allocator), peer_.notified_allocator);
  EXPECT_EQ(FALSE, peer_.notified_read_only);
  EXPECT_EQ(0, pin_->own_allocator_calls);
  EXPECT_EQ(static_cast<IMemAllocator*>(&allocator), pin_->current_allocator());
  EXPECT_EQ(2, allocator.ref_count());

  ASSERT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(1, allocator.commits);
  ASSERT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(1, allocator.decommits);
  // A failed commit is the result of the activation.
  allocator.commit_result = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, filter_->Pause());
  allocator.commit_result = S_OK;
  DisconnectBoth();
  EXPECT_EQ(2, allocator.decommits);
  EXPECT_EQ(1, allocator.ref_count());

  peer_.requirements.cbAlign = 16;
  ASSERT_EQ(S_OK, ConnectWith(MEDIASUBTYPE_YUY2));
  EXPECT_EQ(16, pin_->sized_request.cbAlign);
  DisconnectBoth();
  ExpectUnconnected();
}

TEST_F(OutputPin, FallsBackToItsOwnMemoryAllocator) {
  struct Row {
    const char* what;
    bool downstream_has_allocator;
    bool grants_too_little;
    int notify_failures;
  };
  const Row rows[] = {
      {"GetAllocator fails", false, false, 0},
      {"the downstream allocator grants too little", true, true, 0},
      {"NotifyAllocator refuses the downstream allocator", true, false, 1},
  };
  for (const Row& row : rows) {
    FakeAllocator allocator;
    if (row.grants_too_little) allocator.buffer_delta = -kBufferSize / 2;
    FakeInputPin peer;
    peer.allocator = row.downstream_has_allocator ? &allocator : nullptr;
    peer.notify_failures = row.notify_failures;
    peer.notify_result = E_ACCESSDENIED;
    pin_->own_allocator_calls = 0;
    ASSERT_EQ(S_OK, ConnectWith(MEDIASUBTYPE_YUY2, &peer)) << row.what;
    EXPECT_EQ(1, pin_->own_allocator_calls) << row.what;
    ASSERT_NE(nullptr, pin_->own_allocator) << row.what;
    EXPECT_EQ(pin_->own_allocator, pin_->current_allocator()) << row.what;
    EXPECT_EQ(pin_->own_allocator, peer.notified_allocator) << row.what;
    EXPECT_EQ(1, pin_->sized_request.cbAlign) << row.what;
    EXPECT_EQ(1, allocator.ref_count()) << row.what;
    // CLSID_MemoryAllocator grants exactly what was asked for.
    ALLOCATOR_PROPERTIES granted = {};
    ASSERT_EQ(S_OK, pin_->current_allocator()->GetProperties(&granted));
    EXPECT_EQ(kBufferSize, granted.cbBuffer) << row.what;
    EXPECT_EQ(1, granted.cBuffers) << row.what;
    DisconnectBoth(&peer);
    ExpectUnconnected(&peer);
  }
}

TEST_F(OutputPin, DeliversSamplesAndStreamEventsToThePeer) {
  ASSERT_EQ(S_OK, ConnectWith(MEDIASUBTYPE_YUY2));
  ASSERT_EQ(S_OK, filter_->Pause());  // commits our own allocator
  IMediaSample* sample = nullptr;
  ASSERT_EQ(S_OK, pin_->AcquireSample(&sample, nullptr, nullptr, 0));
  ASSERT_NE(nullptr, sample);
  EXPECT_EQ(kBufferSize, sample->GetSize());
  peer_.receive_result = S_FALSE;
  EXPECT_EQ(S_FALSE, pin_->PushSample(sample));
  EXPECT_EQ(1, peer_.receive_count());
  EXPECT_EQ(sample, peer_.last_sample());
  sample->Release();

  EXPECT_EQ(S_OK, pin_->SendEndOfStream());
  EXPECT_EQ(S_OK, pin_->SendBeginFlush());
  EXPECT_EQ(S_OK, pin_->SendEndFlush());
  EXPECT_EQ(S_OK, pin_->SendNewSegment(100, 200, 0.5));
  EXPECT_EQ(1, peer_.end_of_stream_count());
  EXPECT_EQ(1, peer_.begin_flushes);
  EXPECT_EQ(1, peer_.end_flushes);
  EXPECT_EQ(1, peer_.new_segments);
  EXPECT_EQ(100, peer_.segment_start);
  EXPECT_EQ(200, peer_.segment_stop);
  EXPECT_EQ(0.5, peer_.segment_rate);

  ASSERT_EQ(S_OK, filter_->Stop());  // decommits: no more buffers
  sample = nullptr;
  EXPECT_EQ(VFW_E_NOT_COMMITTED, pin_->AcquireSample(&sample, nullptr, nullptr, 0));
  EXPECT_EQ(nullptr, sample);
  DisconnectBoth();
  ExpectUnconnected();
}

TEST_F(OutputPin, DisconnectWhoseDecommitFailsStaysConnected) {
  FakeAllocator allocator;
  peer_.allocator = &allocator;
  ASSERT_EQ(S_OK, ConnectWith(MEDIASUBTYPE_YUY2));
  allocator.decommit_result = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, ipin_->Disconnect());
  EXPECT_TRUE(pin_->IsConnected());
  EXPECT_EQ(static_cast<IMemAllocator*>(&allocator), pin_->current_allocator());
  EXPECT_NE(nullptr, pin_->transport());
  EXPECT_EQ(MEDIASUBTYPE_YUY2, ConnectedSubtype());
  allocator.decommit_result = S_OK;
  DisconnectBoth();
  EXPECT_EQ(1, allocator.ref_count());
  ExpectUnconnected();
}

// Sinks keep only a shallow copy of the type given to ReceiveConnection: its format
// block must stay alive while connected, even though the enumerated record it came
// from is freed and the pin's current type is replaced, and go at Disconnect.
TEST_F(OutputPin, ThePeersCopyOfTheTypeLivesAsLongAsTheConnection) {
  FakeAllocator allocator;  // no runtime objects are created while the spy watches
  peer_.allocator = &allocator;
  CMediaTypeRecord offered;
  MakeVideoType(&offered, MEDIASUBTYPE_YUY2, /*seed=*/5);
  peer_.Offer(offered);
  CMediaTypeRecord replacement;
  MakeVideoType(&replacement, MEDIASUBTYPE_RGB24);

  test::TaskMemFreeTracker tracker;
  ASSERT_EQ(S_OK, tracker.registration());
  ASSERT_EQ(S_OK, ipin_->Connect(&peer_, nullptr));
  const BYTE* kept = peer_.stored_type().pbFormat;
  ASSERT_NE(nullptr, kept);
  EXPECT_FALSE(tracker.WasFreed(kept));
  EXPECT_TRUE(test::MediaTypesEqual(offered, peer_.stored_type()));

  ASSERT_EQ(S_OK, pin_->ReplaceCurrentMediaType(&replacement));
  EXPECT_EQ(MEDIASUBTYPE_RGB24, ConnectedSubtype());
  EXPECT_FALSE(tracker.WasFreed(kept));
  EXPECT_TRUE(test::MediaTypesEqual(offered, peer_.stored_type()));

  EXPECT_EQ(S_OK, ipin_->Disconnect());
  EXPECT_TRUE(tracker.WasFreed(kept));
  EXPECT_EQ(S_OK, peer_.Disconnect());
  // Give back what was allocated under the spy, so that it can be revoked now.
  const CMediaTypeRecord empty;
  ASSERT_EQ(S_OK, pin_->ReplaceCurrentMediaType(&empty));
  EXPECT_EQ(S_OK, tracker.Revoke());
}

// A failed connection must not leave the peer's copy behind either.
TEST_F(OutputPin, AFailedAttemptFreesThePeersCopy) {
  pin_->finish_override = E_ACCESSDENIED;
  FakeAllocator allocator;
  peer_.allocator = &allocator;
  test::TaskMemFreeTracker tracker;
  ASSERT_EQ(S_OK, tracker.registration());
  EXPECT_EQ(E_ACCESSDENIED, ConnectWith(MEDIASUBTYPE_YUY2));
  ASSERT_EQ(1u, peer_.receive_connection_subtypes.size());
  EXPECT_EQ(1, peer_.disconnects);
  const CMediaTypeRecord empty;
  ASSERT_EQ(S_OK, pin_->ReplaceCurrentMediaType(&empty));
  // Every block allocated under the spy was freed again.
  EXPECT_EQ(S_OK, tracker.Revoke());
}

TEST_F(OutputPin, ConnectionMediaTypeWithoutMemoryGivesOutOfMemory) {
  ASSERT_EQ(S_OK, ConnectWith(MEDIASUBTYPE_YUY2));
  CMediaTypeRecord expected;
  MakeVideoType(&expected, MEDIASUBTYPE_YUY2);
  CMediaTypeRecord other;
  MakeVideoType(&other, MEDIASUBTYPE_RGB24);
  AM_MEDIA_TYPE out;
  std::memset(&out, 0xCC, sizeof(out));
  {
    test::TaskMemFailureScope fail(kFormatSize);
    ASSERT_EQ(S_OK, fail.registration());
    EXPECT_EQ(E_OUTOFMEMORY, ipin_->ConnectionMediaType(&out));
    EXPECT_EQ(0u, out.cbFormat);
    EXPECT_EQ(nullptr, out.pbFormat);
    EXPECT_EQ(nullptr, out.pUnk);
    // A replacement that cannot be copied leaves the current type in place.
    EXPECT_EQ(E_OUTOFMEMORY, pin_->ReplaceCurrentMediaType(&other));
    EXPECT_EQ(2, fail.failures());
  }
  ASSERT_EQ(S_OK, ipin_->ConnectionMediaType(&out));
  EXPECT_TRUE(test::MediaTypesEqual(expected, out));
  FreeMediaTypeContents(&out);
  DisconnectBoth();
}

// Any success of an attempt means connected: the search must stop there instead of
// connecting the next type over the first connection.
TEST_F(OutputPin, ASuccessCodeFromFinishConnectionEndsTheSearch) {
  pin_->finish_override = S_FALSE;
  CMediaTypeRecord type;
  MakeVideoType(&type, MEDIASUBTYPE_YUY2);
  peer_.Offer(type);
  MakeVideoType(&type, MEDIASUBTYPE_RGB24);
  peer_.Offer(type);
  EXPECT_EQ(S_OK, ipin_->Connect(&peer_, nullptr));
  EXPECT_EQ(std::vector<GUID>{MEDIASUBTYPE_YUY2}, peer_.receive_connection_subtypes);
  EXPECT_EQ(MEDIASUBTYPE_YUY2, ConnectedSubtype());
  EXPECT_EQ(3, peer_.ref_count());  // one connection: the connected pin and its transport
  DisconnectBoth();
  ExpectUnconnected();
}

TEST_F(OutputPin, ReceiveConnectionFromAnInputPin) {
  CMediaTypeRecord type;
  MakeVideoType(&type, MEDIASUBTYPE_YUY2);
  ASSERT_EQ(S_OK, ipin_->ReceiveConnection(&peer_, &type));
  EXPECT_TRUE(pin_->IsConnected());
  EXPECT_EQ(MEDIASUBTYPE_YUY2, ConnectedSubtype());
  EXPECT_EQ(1, pin_->own_allocator_calls);
  EXPECT_EQ(pin_->own_allocator, peer_.notified_allocator);
  EXPECT_TRUE(peer_.receive_connection_subtypes.empty());
  EXPECT_EQ(S_OK, ipin_->Disconnect());
  ExpectUnconnected();

  pin_->finish_override = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, ipin_->ReceiveConnection(&peer_, &type));
  ExpectUnconnected();
  EXPECT_EQ(0, peer_.disconnects);  // the connector undoes its own side
}

// Against the runtime's own null renderer: a real peer that enumerates, accepts,
// supplies its allocator and keeps the type.
TEST_F(OutputPin, ConnectsToTheRuntimesNullRenderer) {
  platform::ComPtr<IBaseFilter> renderer;
  ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     renderer.put_void()));
  platform::ComPtr<IEnumPins> pins;
  ASSERT_EQ(S_OK, renderer->EnumPins(pins.put()));
  platform::ComPtr<IPin> input;
  ASSERT_EQ(S_OK, pins->Next(1, input.put(), nullptr));
  pins.reset();
  const ULONG renderer_pin_count = GetRefcount(input.get());

  pin_->own_subtypes = {MEDIASUBTYPE_YUY2};
  for (bool propose : {true, false}) {
    CMediaTypeRecord proposal;
    MakeVideoType(&proposal, MEDIASUBTYPE_YUY2);
    ASSERT_EQ(S_OK, ipin_->Connect(input.get(), propose ? &proposal : nullptr)) << propose;
    platform::ComPtr<IPin> back;
    ASSERT_EQ(S_OK, input->ConnectedTo(back.put()));
    EXPECT_EQ(ipin_, back.get());
    back.reset();
    AM_MEDIA_TYPE theirs = {};
    ASSERT_EQ(S_OK, input->ConnectionMediaType(&theirs));
    EXPECT_TRUE(test::MediaTypesEqual(proposal, theirs));
    FreeMediaTypeContents(&theirs);
    EXPECT_NE(nullptr, pin_->current_allocator());
    EXPECT_EQ(S_OK, ipin_->Disconnect());
    EXPECT_EQ(S_OK, input->Disconnect());
    EXPECT_EQ(renderer_pin_count, GetRefcount(input.get()));
    EXPECT_EQ(1u, GetRefcount(filter_->base_filter()));
  }
}

}  // namespace
}  // namespace veltrano::framework
