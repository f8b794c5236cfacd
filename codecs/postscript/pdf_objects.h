// The PDF objects the writer builds a document from, and the document itself.
//
// Containers own their elements. An object that has a number of its own (an indirect object,
// owned by the document) is put into a container as a TLxPDFRefObject.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumenax {

class TLxWriteBuffer;

class TLxPDFObject {
 public:
  virtual ~TLxPDFObject() = default;
  // Writes the object's value (not the "N 0 obj" frame).
  virtual void Write(TLxWriteBuffer& out) const = 0;

  // 0 for a direct object.
  int32_t Number = 0;
  // Offset of the object's "N 0 obj" line from the start of the document when last written.
  int64_t Position = -1;
};

using TLxPDFObjectPtr = std::unique_ptr<TLxPDFObject>;

class TLxPDFRefObject : public TLxPDFObject {
 public:
  explicit TLxPDFRefObject(int32_t number, int32_t generation = 0)
      : RefNumber(number), Generation(generation) {}
  void Write(TLxWriteBuffer& out) const override;
  int32_t RefNumber;
  int32_t Generation;
};

class TLxPDFBooleanObject : public TLxPDFObject {
 public:
  explicit TLxPDFBooleanObject(bool value) : Value(value) {}
  void Write(TLxWriteBuffer& out) const override;
  bool Value;
};

class TLxPDFNumericObject : public TLxPDFObject {
 public:
  explicit TLxPDFNumericObject(double value) : Value(value) {}
  void Write(TLxWriteBuffer& out) const override;
  double Value;
};

// A text string. Plain ASCII is written as a literal string with its escapes; text with bytes
// of 128 and above is taken as UTF-8 and written as UTF-16BE with a byte order mark, in
// hexadecimal form.
class TLxPDFStringObject : public TLxPDFObject {
 public:
  explicit TLxPDFStringObject(std::string value) : Value(std::move(value)) {}
  void Write(TLxWriteBuffer& out) const override;
  std::string Value;
};

class TLxPDFNameObject : public TLxPDFObject {
 public:
  explicit TLxPDFNameObject(std::string value) : Value(std::move(value)) {}
  void Write(TLxWriteBuffer& out) const override;
  std::string Value;
};

class TLxPDFArrayObject : public TLxPDFObject {
 public:
  void Write(TLxWriteBuffer& out) const override;
  TLxPDFArrayObject& Add(TLxPDFObjectPtr item) {
    Items.push_back(std::move(item));
    return *this;
  }
  std::vector<TLxPDFObjectPtr> Items;
};

class TLxPDFDictionaryObject : public TLxPDFObject {
 public:
  void Write(TLxWriteBuffer& out) const override;
  // Appends a pair (an existing key is not replaced).
  TLxPDFDictionaryObject& Add(std::string key, TLxPDFObjectPtr value) {
    Items.emplace_back(std::move(key), std::move(value));
    return *this;
  }
  // Inserts a pair at the given index.
  void Insert(size_t index, std::string key, TLxPDFObjectPtr value);
  // The value of key, or nullptr.
  TLxPDFObject* Find(std::string_view key) const;
  std::vector<std::pair<std::string, TLxPDFObjectPtr>> Items;
};

// A stream: its dictionary begins with /Length, kept equal to the data's byte count.
//
// Data too large to hold come from a source that writes them while the stream is written.
// When the source's byte count is known beforehand /Length holds it; otherwise /Length refers
// to an indirect number object that gets the count once the data are written.
class TLxPDFStreamObject : public TLxPDFObject {
 public:
  TLxPDFStreamObject();
  void Write(TLxWriteBuffer& out) const override;
  TLxPDFDictionaryObject Dictionary;
  std::vector<uint8_t> Data;
  // Writes the data in place of Data; false when it could not.
  std::function<bool(TLxWriteBuffer&)> Source;
  // The byte count the source writes, or -1 when it is known only afterwards.
  int64_t SourceLength = -1;
  // The indirect length (see PdfDocument::AddLengthObject), or null.
  TLxPDFNumericObject* LengthObject = nullptr;
  // The source failed, or wrote another count than SourceLength, when last written.
  mutable bool Failed = false;
};

// Shorthands for building values.
TLxPDFObjectPtr PdfName(std::string value);
TLxPDFObjectPtr PdfNumber(double value);
TLxPDFObjectPtr PdfString(std::string value);
TLxPDFObjectPtr PdfBool(bool value);
TLxPDFObjectPtr PdfRef(int32_t number);
TLxPDFObjectPtr PdfRef(const TLxPDFObject& indirect);

// The text of a number: integers without a fraction, other values in the shortest decimal
// form, "." as separator whatever the locale.
std::string PdfNumberText(double value);

// A document: indirect objects numbered 1, 2, ... in the order they are added, the page
// dictionaries, the images and the content streams, the resources dictionary and the
// catalog.
class PdfDocument {
 public:
  // Creates the catalog (object 1) and the resources (object 2) with /ProcSet and an empty
  // /XObject dictionary.
  PdfDocument();

  // Numbers the object and keeps it; returns it.
  template <class T>
  T& AddObject(std::unique_ptr<T> object) {
    T& ref = *object;
    object->Number = int32_t(Objects.size()) + 1;
    Objects.push_back(std::move(object));
    return ref;
  }

  // Adds an image stream (completed with /Type, /Subtype, /Width and /Height), its content
  // stream drawing it w x h points at the page's top-left corner, its /XObject entry and the
  // page dictionary.
  void AddImagePage(std::unique_ptr<TLxPDFStreamObject> image, int32_t width, int32_t height,
                    int32_t paperWidth, int32_t paperHeight);

  // Creates the pages dictionary and the information dictionary (non-empty entries only,
  // and /CreationDate).
  struct Info {
    std::string Title, Author, Subject, Keywords, Creator, Producer, CreationDate;
  };
  void Close(const Info& info);

  // Gives a stream whose source's byte count is not known beforehand an indirect /Length:
  // a number object added last, written with the count after the stream.
  void AddLengthObject(TLxPDFStreamObject& stream);

  // Header, objects, cross-reference table and trailer. False when a stream's source failed
  // or the output came up short; the document then stops there.
  bool Write(TLxWriteBuffer& out);

  std::vector<std::unique_ptr<TLxPDFObject>> Objects;
  std::vector<TLxPDFDictionaryObject*> Pages;
  std::vector<TLxPDFStreamObject*> Images;
  std::vector<TLxPDFStreamObject*> Contents;
  TLxPDFDictionaryObject* Catalog = nullptr;
  TLxPDFDictionaryObject* Resources = nullptr;
  TLxPDFDictionaryObject* XObjects = nullptr;
  TLxPDFDictionaryObject* InfoDict = nullptr;
};

}  // namespace lumenax
