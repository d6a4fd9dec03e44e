// The main dialog as the built program carries it: the template of dialog 129
// read from Corvane_FW_Updater.exe itself (not from the .rc text), so that what
// the resource compiler wrote is what is checked.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef UPDATER_EXE
#error "UPDATER_EXE names the program under test"
#endif

namespace {

std::wstring Widen(const char* s) {
    wchar_t w[MAX_PATH];
    MultiByteToWideChar(CP_UTF8, 0, s, -1, w, MAX_PATH);
    return w;
}

// A string or an ordinal of a dialog template.
struct NameOrOrdinal {
    WORD ordinal = 0;  // 0: a string (possibly empty)
    std::wstring text;
};

struct Item {
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    NameOrOrdinal cls, title;
};

struct Template {
    DWORD style = 0;
    short cx = 0, cy = 0;
    std::wstring caption, font;
    WORD points = 0;
    std::vector<Item> items;
};

class Reader {
public:
    Reader(const BYTE* p, DWORD size) : p_(p), size_(size) {}
    bool ok() const { return ok_; }
    template <typename T>
    T Take() {
        T v{};
        if (at_ + sizeof(T) > size_) {
            ok_ = false;
            return v;
        }
        memcpy(&v, p_ + at_, sizeof(T));
        at_ += sizeof(T);
        return v;
    }
    std::wstring Text() {
        std::wstring s;
        for (WORD c; ok_ && (c = Take<WORD>()) != 0;) s += static_cast<wchar_t>(c);
        return s;
    }
    NameOrOrdinal Name() {
        NameOrOrdinal n;
        const WORD first = Take<WORD>();
        if (first == 0xFFFF) {
            n.ordinal = Take<WORD>();
        } else if (first != 0) {
            n.text = static_cast<wchar_t>(first);
            n.text += Text();
        }
        return n;
    }
    void AlignDword() { at_ = (at_ + 3) & ~static_cast<DWORD>(3); }
    void Skip(DWORD n) { at_ += n; }

private:
    const BYTE* p_;
    DWORD size_;
    DWORD at_ = 0;
    bool ok_ = true;
};

// Reads an extended dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items).
bool ParseDialogEx(const BYTE* data, DWORD size, Template* out) {
    Reader r(data, size);
    if (r.Take<WORD>() != 1 || r.Take<WORD>() != 0xFFFF) return false;
    r.Take<DWORD>();  // help ID
    r.Take<DWORD>();  // extended style
    out->style = r.Take<DWORD>();
    const WORD count = r.Take<WORD>();
    r.Take<short>();
    r.Take<short>();
    out->cx = r.Take<short>();
    out->cy = r.Take<short>();
    r.Name();  // menu
    r.Name();  // class
    out->caption = r.Text();
    if (out->style & (DS_SETFONT | DS_SHELLFONT)) {
        out->points = r.Take<WORD>();
        r.Take<WORD>();
        r.Take<BYTE>();
        r.Take<BYTE>();
        out->font = r.Text();
    }
    for (WORD i = 0; i < count && r.ok(); ++i) {
        r.AlignDword();
        Item item;
        r.Take<DWORD>();  // help ID
        r.Take<DWORD>();  // extended style
        item.style = r.Take<DWORD>();
        item.x = r.Take<short>();
        item.y = r.Take<short>();
        item.cx = r.Take<short>();
        item.cy = r.Take<short>();
        item.id = r.Take<DWORD>();
        item.cls = r.Name();
        item.title = r.Name();
        r.Skip(r.Take<WORD>());  // creation data
        out->items.push_back(item);
    }
    return r.ok();
}

enum class Kind { List, CentredText, Text, ReadOnlyEdit, Button, Progress, Icon };

// A class given by its predefined atom or by its name: both make the same control.
bool IsClass(const NameOrOrdinal& cls, WORD atom, const wchar_t* name) {
    return cls.ordinal == atom || (cls.ordinal == 0 && _wcsicmp(cls.text.c_str(), name) == 0);
}

bool IsKind(const Item& item, Kind kind) {
    const bool isStatic = IsClass(item.cls, 0x0082, L"Static");
    const DWORD type = item.style & SS_TYPEMASK;
    switch (kind) {
        case Kind::List:
            return IsClass(item.cls, 0x0085, L"ComboBox") && (item.style & 3) == CBS_DROPDOWNLIST;
        case Kind::CentredText:
            return isStatic && type == SS_CENTER;
        case Kind::Text:
            return isStatic && type == SS_LEFT;
        case Kind::ReadOnlyEdit:
            return IsClass(item.cls, 0x0081, L"Edit") && (item.style & ES_READONLY) != 0;
        case Kind::Button:
            return IsClass(item.cls, 0x0080, L"Button") && (item.style & BS_TYPEMASK) == BS_PUSHBUTTON;
        case Kind::Progress:
            return IsClass(item.cls, 0xFFFF, PROGRESS_CLASSW) && (item.style & PBS_SMOOTH) != 0;
        case Kind::Icon:
            return isStatic && type == SS_ICON;
    }
    return false;
}

struct ControlRow {
    DWORD id;
    Kind kind;
    const wchar_t* text;  // nullptr: not checked (the maker's name is ours to choose)
    short x, y, cx, cy;
    bool visible;
};

// The controls of dialog 129, as the operator's screen must show them.
const ControlRow kControls[] = {
    {1012, Kind::List, L"", 41, 19, 268, 200, true},
    {1008, Kind::CentredText, L"No Device Connected", 7, 39, 343, 8, true},
    {1009, Kind::CentredText, L"Device is Connected", 7, 39, 343, 8, true},
    {1001, Kind::Text, L"Select Firmware File (Click Browse to select)", 22, 66, 152, 8, true},
    {1000, Kind::ReadOnlyEdit, L"", 19, 78, 243, 14, true},
    {1002, Kind::Button, L"Browse", 279, 76, 56, 18, true},
    {1005, Kind::Button, L"READ F/W VERSION", 19, 108, 87, 20, true},
    {1006, Kind::Button, L"F/W UPDATE", 117, 108, 76, 20, true},
    {1024, Kind::Button, L"RESET", 202, 108, 61, 20, true},
    {1010, Kind::Button, L"EXIT", 278, 109, 56, 20, true},
    {1007, Kind::CentredText, L"Updating Firmware.....", 7, 137, 343, 9, false},
    {1018, Kind::CentredText, L"Device is entering into Firmware Update mode", 7, 138, 343, 10, true},
    {1003, Kind::Progress, L"", 7, 154, 343, 14, true},
    {1004, Kind::CentredText, L"", 7, 170, 343, 8, true},
    {1025, Kind::CentredText, L"Version: 1.0.50.0", 286, 210, 64, 9, true},
    {1027, Kind::Text, nullptr, 32, 210, 78, 8, true},
    {1029, Kind::Icon, nullptr, 8, 197, 20, 20, true},
};

}  // namespace

TEST(CompiledResources, MainDialogAsTheProgramCarriesIt) {
    const std::wstring exe = Widen(UPDATER_EXE);
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, module) << "error " << GetLastError();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(129), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    ASSERT_NE(nullptr, found);
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    ASSERT_NE(nullptr, data);
    Template t;
    ASSERT_TRUE(ParseDialogEx(data, SizeofResource(module, found), &t)) << "an extended dialog template";

    EXPECT_EQ(359, t.cx);
    EXPECT_EQ(225, t.cy);
    EXPECT_EQ(L"Corvane FirmWare Updater", t.caption);
    EXPECT_EQ(L"MS Shell Dlg", t.font);
    EXPECT_EQ(8, t.points);
    EXPECT_NE(0u, t.style & DS_CENTER);
    EXPECT_NE(0u, t.style & WS_CAPTION);
    EXPECT_NE(0u, t.style & WS_SYSMENU);
    EXPECT_EQ(0u, t.style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));

    ASSERT_EQ(sizeof(kControls) / sizeof(kControls[0]), t.items.size());
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(testing::Message() << "control " << row.id);
        const Item* item = nullptr;
        for (const Item& i : t.items)
            if (i.id == row.id) item = &i;
        ASSERT_NE(nullptr, item);
        EXPECT_TRUE(IsKind(*item, row.kind)) << "class " << item->cls.ordinal << " style 0x" << std::hex
                                              << item->style;
        EXPECT_EQ(row.x, item->x);
        EXPECT_EQ(row.y, item->y);
        EXPECT_EQ(row.cx, item->cx);
        EXPECT_EQ(row.cy, item->cy);
        EXPECT_EQ(row.visible, (item->style & WS_VISIBLE) != 0);
        if (row.kind == Kind::Icon) {
            EXPECT_EQ(134, item->title.ordinal) << "icon 134";
        } else if (row.text != nullptr) {
            EXPECT_EQ(0, item->title.ordinal);
            EXPECT_EQ(std::wstring(row.text), item->title.text);
        }
    }
    FreeLibrary(module);
}
