// The resources as linked into update.exe, read from the file itself.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/gui_handles.h"
#include "res/resource.h"
#include "tests/app/app_test_support.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

class ResourcesTest : public testing::Test {
protected:
    void SetUp() override {
        module.reset(LoadLibraryExW(test::UpdateExePath().c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(module) << "cannot load " << test::Narrow(test::UpdateExePath());
    }

    // The bytes of one resource; empty when it is missing.
    std::string Resource(const wchar_t* type, const wchar_t* name) const {
        const HRSRC found = FindResourceW(module.get(), name, type);
        if (found == nullptr) {
            return {};
        }
        const HGLOBAL loaded = LoadResource(module.get(), found);
        const auto* data = static_cast<const char*>(LockResource(loaded));
        return data == nullptr ? std::string()
                               : std::string(data, SizeofResource(module.get(), found));
    }

    UniqueHandle<HMODULE, nullptr, ::FreeLibrary> module;
};

// Reads a dialog template field by field.
class TemplateReader {
public:
    explicit TemplateReader(const std::string& bytes) : bytes_(bytes) {}
    template <typename T>
    T Read() {
        T value{};
        if (offset_ + sizeof(T) <= bytes_.size()) {
            memcpy(&value, bytes_.data() + offset_, sizeof(T));
        }
        offset_ += sizeof(T);
        return value;
    }
    std::wstring ReadText() {
        std::wstring text;
        for (wchar_t c = Read<wchar_t>(); c != 0 && offset_ <= bytes_.size(); c = Read<wchar_t>()) {
            text.push_back(c);
        }
        return text;
    }
    // A name or ordinal: 0xFFFF and an ordinal, or a text (empty for none).
    std::wstring ReadNameOrOrdinal() {
        const auto first = Read<WORD>();
        if (first == 0xFFFF) {
            return L"#" + std::to_wstring(Read<WORD>());
        }
        offset_ -= sizeof(WORD);
        return ReadText();
    }
    void AlignToDword() { offset_ = (offset_ + 3) & ~size_t{3}; }
    [[nodiscard]] bool Overran() const { return offset_ > bytes_.size(); }

private:
    const std::string& bytes_;
    size_t offset_ = 0;
};

struct Control {
    DWORD style;
    DWORD ex_style;
    short x, y, cx, cy;
    DWORD id;
    std::wstring window_class;
    std::wstring title;
};

TEST_F(ResourcesTest, DialogTemplate129IsHiddenDisabledWithThreeButtons) {
    const std::string bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_MAINDLG));
    ASSERT_FALSE(bytes.empty());
    TemplateReader reader(bytes);
    EXPECT_EQ(reader.Read<WORD>(), 1);       // extended form
    EXPECT_EQ(reader.Read<WORD>(), 0xFFFF);  // signature
    reader.Read<DWORD>();                    // help id
    EXPECT_EQ(reader.Read<DWORD>(), 0u);     // extended style
    const auto style = reader.Read<DWORD>();
    EXPECT_EQ(style, static_cast<DWORD>(WS_DISABLED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                                        DS_SETFONT));
    EXPECT_FALSE(style & WS_VISIBLE);
    const auto count = reader.Read<WORD>();
    EXPECT_EQ(count, 3);
    EXPECT_EQ(reader.Read<short>(), 0);
    EXPECT_EQ(reader.Read<short>(), 0);
    EXPECT_EQ(reader.Read<short>(), 187);
    EXPECT_EQ(reader.Read<short>(), 98);
    EXPECT_EQ(reader.ReadNameOrOrdinal(), L"");  // no menu
    EXPECT_EQ(reader.ReadNameOrOrdinal(), L"");  // the dialog class
    EXPECT_EQ(reader.ReadText(), L"Update");
    EXPECT_EQ(reader.Read<WORD>(), 8);  // point size
    reader.Read<WORD>();                // weight
    reader.Read<BYTE>();                // italic
    reader.Read<BYTE>();                // character set
    EXPECT_EQ(reader.ReadText(), L"MS Sans Serif");

    std::vector<Control> controls;
    for (int i = 0; i < count && !reader.Overran(); ++i) {
        reader.AlignToDword();
        Control control = {};
        reader.Read<DWORD>();  // help id
        control.ex_style = reader.Read<DWORD>();
        control.style = reader.Read<DWORD>();
        control.x = reader.Read<short>();
        control.y = reader.Read<short>();
        control.cx = reader.Read<short>();
        control.cy = reader.Read<short>();
        control.id = reader.Read<DWORD>();
        control.window_class = reader.ReadNameOrOrdinal();
        control.title = reader.ReadNameOrOrdinal();
        const auto extra = reader.Read<WORD>();
        for (WORD skip = 0; skip < extra; ++skip) {
            reader.Read<BYTE>();
        }
        controls.push_back(control);
    }
    ASSERT_FALSE(reader.Overran());
    ASSERT_EQ(controls.size(), 3u);
    const struct {
        DWORD id;
        const wchar_t* title;
        short y;
        DWORD kind;
    } expected[] = {{IDOK, L"OK", 7, BS_DEFPUSHBUTTON},
                    {IDCANCEL, L"Cancel", 24, BS_PUSHBUTTON},
                    {0xE140, L"&About...", 77, BS_PUSHBUTTON}};
    for (size_t i = 0; i < 3; ++i) {
        const Control& control = controls[i];
        EXPECT_EQ(control.id, expected[i].id);
        EXPECT_EQ(control.title, expected[i].title);
        EXPECT_EQ(control.window_class, L"#128");  // the predefined button class
        EXPECT_EQ(control.x, 130);
        EXPECT_EQ(control.y, expected[i].y);
        EXPECT_EQ(control.cx, 50);
        EXPECT_EQ(control.cy, 14);
        EXPECT_EQ(control.style & 0x0F, expected[i].kind);
        const DWORD required = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
        EXPECT_EQ(control.style & required, required) << i;
        EXPECT_FALSE(control.style & WS_DISABLED) << i;
        EXPECT_EQ(control.ex_style, 0u);
    }
}

TEST_F(ResourcesTest, Menu128HasTheWebSiteItemASeparatorAndTheCloseCommand) {
    UniqueMenu menu(LoadMenuW(module.get(), MAKEINTRESOURCEW(IDR_MAINFRAME)));
    ASSERT_TRUE(menu);
    ASSERT_EQ(GetMenuItemCount(menu.get()), 1);
    wchar_t text[64] = {};
    GetMenuStringW(menu.get(), 0, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"升级程序");
    const HMENU popup = GetSubMenu(menu.get(), 0);
    ASSERT_NE(popup, nullptr);
    ASSERT_EQ(GetMenuItemCount(popup), 3);
    EXPECT_EQ(GetMenuItemID(popup, 0), 32776u);
    GetMenuStringW(popup, 0, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"Qv阅读器网站");
    MENUITEMINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE;
    ASSERT_TRUE(GetMenuItemInfoW(popup, 1, TRUE, &info));
    EXPECT_TRUE(info.fType & MFT_SEPARATOR);
    EXPECT_EQ(GetMenuItemID(popup, 2), static_cast<UINT>(IDCANCEL));
    GetMenuStringW(popup, 2, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"关闭升级程序");
}

TEST_F(ResourcesTest, IconGroup128Has16And32And48PixelImagesAt8BitsPerPixel) {
    const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_GE(group.size(), 6u);
    WORD header[3] = {};
    memcpy(header, group.data(), sizeof header);
    EXPECT_EQ(header[1], 1);  // icons
    ASSERT_EQ(header[2], 3);
    ASSERT_EQ(group.size(), 6u + 3 * 14);
    std::vector<int> sizes;
    for (int i = 0; i < 3; ++i) {
        const char* entry = group.data() + 6 + i * 14;
        const int width = static_cast<unsigned char>(entry[0]);
        const int height = static_cast<unsigned char>(entry[1]);
        WORD bits = 0;
        WORD id = 0;
        memcpy(&bits, entry + 6, 2);
        memcpy(&id, entry + 12, 2);
        EXPECT_EQ(width, height);
        EXPECT_EQ(bits, 8);
        sizes.push_back(width);

        const std::string image = Resource(RT_ICON, MAKEINTRESOURCEW(id));
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER bitmap = {};
        memcpy(&bitmap, image.data(), sizeof bitmap);
        EXPECT_EQ(bitmap.biWidth, width);
        EXPECT_EQ(bitmap.biHeight, 2 * height);  // image and mask
        EXPECT_EQ(bitmap.biBitCount, 8);
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48}));
    // Loadable at every size the window and the tray ask for.
    for (int size : {16, 32, 48}) {
        UniqueIcon icon(static_cast<HICON>(LoadImageW(module.get(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                      IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
        EXPECT_TRUE(icon) << size;
    }
}

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

TEST_F(ResourcesTest, ManifestRunsAsInvokerWithCommonControls6) {
    int manifests = 0;
    EnumResourceNamesW(module.get(), RT_MANIFEST, &CountName,
                       reinterpret_cast<LONG_PTR>(&manifests));
    EXPECT_EQ(manifests, 1);  // ours, not a toolchain default beside it
    const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    EXPECT_NE(manifest.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
}

}  // namespace
}  // namespace qv
