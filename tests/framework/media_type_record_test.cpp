// CMediaTypeRecord and DuplicateMediaType: ownership of format blocks and pUnk,
// copies, failed allocations, and the pattern rule used when connecting.
#include <gtest/gtest.h>

#include <dshow.h>

#include <cstring>
#include <vector>

#include "common/com_test_helpers.h"
#include "common/task_mem_spy.h"
#include "framework/media_type_record.h"

namespace veltrano::framework {
namespace {

using test::TaskMemFailureScope;

// A pUnk whose references the test can read; any query is a fault.
class CountingUnknown : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    ADD_FAILURE() << "unexpected QueryInterface on pUnk";
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
  STDMETHODIMP_(ULONG) Release() override { return --count; }
  ULONG count = 1;
};

constexpr ULONG kFormatSize = 100;  // not 88 = sizeof(AM_MEDIA_TYPE), which other code allocates

// A video type with a recognisable format block of `size` bytes.
void MakeType(CMediaTypeRecord* type, ULONG size = kFormatSize, BYTE seed = 1) {
  type->majortype = MEDIATYPE_Video;
  type->subtype = MEDIASUBTYPE_YUY2;
  type->formattype = FORMAT_VideoInfo;
  type->bFixedSizeSamples = TRUE;
  type->lSampleSize = 1843200;
  BYTE* block = type->EnsureFormatBlock(size);
  ASSERT_NE(nullptr, block);
  for (ULONG i = 0; i < size; ++i) block[i] = static_cast<BYTE>(seed + i);
}

class TaskMemFixture : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { ::CoUninitialize(); }
};

using MediaTypeRecord = TaskMemFixture;

TEST_F(MediaTypeRecord, DefaultState) {
  CMediaTypeRecord type;
  EXPECT_EQ(GUID_NULL, type.majortype);
  EXPECT_EQ(GUID_NULL, type.subtype);
  EXPECT_EQ(GUID_NULL, type.formattype);
  EXPECT_EQ(TRUE, type.bFixedSizeSamples);
  EXPECT_EQ(FALSE, type.bTemporalCompression);
  EXPECT_EQ(1u, type.lSampleSize);
  EXPECT_EQ(nullptr, type.pUnk);
  EXPECT_EQ(0u, type.cbFormat);
  EXPECT_EQ(nullptr, type.pbFormat);
}

TEST_F(MediaTypeRecord, DuplicateMakesASeparateEqualBlockAndCountsPUnk) {
  CountingUnknown unk;
  CMediaTypeRecord source;
  MakeType(&source, 88);
  source.pUnk = &unk;
  unk.AddRef();  // the record's own reference
  {
    AM_MEDIA_TYPE copy;
    std::memset(&copy, 0xCC, sizeof(copy));
    ASSERT_EQ(S_OK, DuplicateMediaType(&copy, &source));
    EXPECT_TRUE(test::MediaTypesEqual(source, copy));
    EXPECT_NE(source.pbFormat, copy.pbFormat);
    EXPECT_EQ(3u, unk.count);
    FreeMediaTypeContents(&copy);
    EXPECT_EQ(0u, copy.cbFormat);
    EXPECT_EQ(nullptr, copy.pbFormat);
    EXPECT_EQ(nullptr, copy.pUnk);
    EXPECT_EQ(2u, unk.count);
  }
  // The source is untouched by clearing the copy.
  ASSERT_EQ(88u, source.cbFormat);
  EXPECT_EQ(1, source.pbFormat[0]);
  EXPECT_EQ(static_cast<BYTE>(1 + 87), source.pbFormat[87]);
  source.Clear();
  EXPECT_EQ(1u, unk.count);
  // Clear keeps the GUIDs and the size.
  EXPECT_EQ(MEDIATYPE_Video, source.majortype);
  EXPECT_EQ(1843200u, source.lSampleSize);
}

TEST_F(MediaTypeRecord, DuplicateWithoutMemoryKeepsEveryOtherField) {
  CountingUnknown unk;
  CMediaTypeRecord source;
  MakeType(&source);
  source.pUnk = &unk;
  unk.AddRef();
  AM_MEDIA_TYPE copy;
  std::memset(&copy, 0xCC, sizeof(copy));
  {
    TaskMemFailureScope fail(kFormatSize);
    ASSERT_EQ(S_OK, fail.registration());
    EXPECT_EQ(E_OUTOFMEMORY, DuplicateMediaType(&copy, &source));
    EXPECT_EQ(1, fail.failures());
  }
  EXPECT_EQ(0u, copy.cbFormat);
  EXPECT_EQ(nullptr, copy.pbFormat);
  EXPECT_EQ(MEDIASUBTYPE_YUY2, copy.subtype);
  EXPECT_EQ(FORMAT_VideoInfo, copy.formattype);
  EXPECT_EQ(1843200u, copy.lSampleSize);
  EXPECT_EQ(&unk, copy.pUnk);
  EXPECT_EQ(3u, unk.count);
  FreeMediaTypeContents(&copy);
  EXPECT_EQ(2u, unk.count);
}

TEST_F(MediaTypeRecord, DuplicateOfALengthWithoutABlockCopiesNoBlock) {
  AM_MEDIA_TYPE source = {};
  source.majortype = MEDIATYPE_Video;
  source.formattype = FORMAT_VideoInfo;
  source.cbFormat = kFormatSize;  // claims a block it does not have
  AM_MEDIA_TYPE copy;
  std::memset(&copy, 0xCC, sizeof(copy));
  EXPECT_EQ(S_OK, DuplicateMediaType(&copy, &source));
  EXPECT_EQ(0u, copy.cbFormat);
  EXPECT_EQ(nullptr, copy.pbFormat);
  EXPECT_EQ(MEDIATYPE_Video, copy.majortype);
}

TEST_F(MediaTypeRecord, AssignReplacesTheOldContentsAndIgnoresItself) {
  CountingUnknown old_unk;
  CountingUnknown new_unk;
  CMediaTypeRecord target;
  MakeType(&target, 88, 7);
  target.pUnk = &old_unk;
  old_unk.AddRef();
  BYTE* const old_block = target.pbFormat;

  EXPECT_EQ(S_OK, target.Assign(&target));
  EXPECT_EQ(old_block, target.pbFormat);
  EXPECT_EQ(88u, target.cbFormat);
  EXPECT_EQ(7, target.pbFormat[0]);
  EXPECT_EQ(2u, old_unk.count);

  CMediaTypeRecord source;
  MakeType(&source, kFormatSize, 40);
  source.pUnk = &new_unk;
  new_unk.AddRef();
  EXPECT_EQ(S_OK, target.Assign(&source));
  EXPECT_EQ(1u, old_unk.count);
  EXPECT_EQ(3u, new_unk.count);
  EXPECT_TRUE(test::MediaTypesEqual(source, target));
  EXPECT_NE(source.pbFormat, target.pbFormat);

  {
    TaskMemFailureScope fail(kFormatSize);
    ASSERT_EQ(S_OK, fail.registration());
    CMediaTypeRecord third;
    EXPECT_EQ(E_OUTOFMEMORY, third.Assign(&source));
    EXPECT_EQ(0u, third.cbFormat);
    EXPECT_EQ(nullptr, third.pbFormat);
    EXPECT_EQ(MEDIASUBTYPE_YUY2, third.subtype);
  }
  EXPECT_EQ(3u, new_unk.count);
  target.Clear();
  source.Clear();
  EXPECT_EQ(1u, new_unk.count);
}

TEST_F(MediaTypeRecord, EnsureFormatBlock) {
  CMediaTypeRecord type;
  BYTE* block = type.EnsureFormatBlock(88);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(88u, type.cbFormat);
  block[0] = 0x5A;
  block[87] = 0xA5;
  // The same length keeps block and contents.
  EXPECT_EQ(block, type.EnsureFormatBlock(88));
  EXPECT_EQ(0x5A, type.pbFormat[0]);
  EXPECT_EQ(0xA5, type.pbFormat[87]);

  {
    TaskMemFailureScope fail(40);
    ASSERT_EQ(S_OK, fail.registration());
    // Smaller than what it has: the larger block stays and serves.
    EXPECT_EQ(block, type.EnsureFormatBlock(40));
    EXPECT_EQ(88u, type.cbFormat);
  }
  {
    TaskMemFailureScope fail(kFormatSize);
    ASSERT_EQ(S_OK, fail.registration());
    // Larger than what it has: nothing, and the record is unchanged.
    EXPECT_EQ(nullptr, type.EnsureFormatBlock(kFormatSize));
    EXPECT_EQ(88u, type.cbFormat);
    EXPECT_EQ(block, type.pbFormat);
  }
  BYTE* larger = type.EnsureFormatBlock(kFormatSize);
  ASSERT_NE(nullptr, larger);
  EXPECT_EQ(kFormatSize, type.cbFormat);
  EXPECT_EQ(larger, type.pbFormat);
}

TEST_F(MediaTypeRecord, ResetToDefaultFreesAndRestores) {
  CountingUnknown unk;
  CMediaTypeRecord type;
  MakeType(&type);
  type.pUnk = &unk;
  unk.AddRef();
  type.bTemporalCompression = TRUE;
  type.ResetToDefault();
  EXPECT_EQ(1u, unk.count);
  const CMediaTypeRecord fresh;
  EXPECT_TRUE(test::MediaTypesEqual(fresh, type));
}

TEST_F(MediaTypeRecord, FitsPatternTable) {
  CMediaTypeRecord concrete;
  MakeType(&concrete);
  CMediaTypeRecord same_format;
  MakeType(&same_format);
  CMediaTypeRecord one_byte_differs;
  MakeType(&one_byte_differs);
  one_byte_differs.pbFormat[kFormatSize - 1] ^= 1;
  CMediaTypeRecord shorter;
  MakeType(&shorter, kFormatSize - 4);

  struct Row {
    const char* what;
    GUID major, sub, format;
    const AM_MEDIA_TYPE* format_source;  // cbFormat/pbFormat taken from here, or none
    bool fits;
  };
  const Row rows[] = {
      {"all GUID_NULL", GUID_NULL, GUID_NULL, GUID_NULL, nullptr, true},
      {"major only", MEDIATYPE_Video, GUID_NULL, GUID_NULL, nullptr, true},
      {"other major", MEDIATYPE_Audio, GUID_NULL, GUID_NULL, nullptr, false},
      {"subtype only", GUID_NULL, MEDIASUBTYPE_YUY2, GUID_NULL, nullptr, true},
      {"other subtype", MEDIATYPE_Video, MEDIASUBTYPE_RGB24, GUID_NULL, nullptr, false},
      {"format without block", MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, nullptr, false},
      {"same format", MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, &same_format, true},
      {"format set, other GUIDs any", GUID_NULL, GUID_NULL, FORMAT_VideoInfo, &same_format, true},
      {"one format byte differs", MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, &one_byte_differs, false},
      {"other format length", MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, &shorter, false},
      {"other format type", MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, &same_format, false},
  };
  for (const Row& row : rows) {
    AM_MEDIA_TYPE pattern = {};
    pattern.majortype = row.major;
    pattern.subtype = row.sub;
    pattern.formattype = row.format;
    if (row.format_source) {
      pattern.cbFormat = row.format_source->cbFormat;
      pattern.pbFormat = row.format_source->pbFormat;
    }
    // Flags, size and pUnk are never compared.
    pattern.bTemporalCompression = TRUE;
    pattern.lSampleSize = 7;
    EXPECT_EQ(row.fits, concrete.FitsPattern(&pattern)) << row.what;
  }
  EXPECT_TRUE(concrete.FitsPattern(nullptr));
}

// A length without a block on either side never fits: the bytes are not read.
TEST_F(MediaTypeRecord, FitsPatternRefusesALengthWithoutABlock) {
  CMediaTypeRecord concrete;
  MakeType(&concrete);
  AM_MEDIA_TYPE pattern = {};
  pattern.formattype = FORMAT_VideoInfo;
  pattern.cbFormat = kFormatSize;
  pattern.pbFormat = nullptr;
  EXPECT_FALSE(concrete.FitsPattern(&pattern));

  AM_MEDIA_TYPE hollow = {};
  hollow.majortype = MEDIATYPE_Video;
  hollow.formattype = FORMAT_VideoInfo;
  hollow.cbFormat = kFormatSize;
  hollow.pbFormat = nullptr;
  EXPECT_FALSE(TypeFitsPattern(hollow, &concrete));
  // Without a format type in the pattern the block is not looked at.
  AM_MEDIA_TYPE major_only = {};
  major_only.majortype = MEDIATYPE_Video;
  EXPECT_TRUE(TypeFitsPattern(hollow, &major_only));
}

}  // namespace
}  // namespace veltrano::framework
