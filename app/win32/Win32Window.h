#pragma once
// What the three Win32 windows have in common: a window class whose
// procedure reaches its C++ object, layout tables scaled to the screen's
// DPI, fonts, child controls and the focus kept across activations.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

// A layout drawn at designDpi, placed at the screen's DPI.
class ScaleT {
public:
    ScaleT(int dpi, int designDpi) : dpi_(dpi), design_(designDpi) {}
    int operator()(int v) const { return ::MulDiv(v, dpi_, design_); }
    // A rectangle of the table: edges scaled, so that neighbours stay
    // neighbours.
    RECT Rect(int x, int y, int w, int h) const { return {(*this)(x), (*this)(y), (*this)(x + w), (*this)(y + h)}; }

private:
    int dpi_;
    int design_;
};

// The DPI the system gives this (DPI-aware) program.
int SystemDpi();

// A font owned by this object: pixels is the character height at the
// layout's DPI.
class FontT {
public:
    FontT(int pixels, const ScaleT& scale);
    ~FontT();
    FontT(const FontT&) = delete;
    FontT& operator=(const FontT&) = delete;
    HFONT Handle() const { return font_; }

private:
    HFONT font_;
};

// A top-level window of a class of its own; Handle() is called on the
// window's thread with every message.
class WindowT {
public:
    WindowT() = default;
    WindowT(const WindowT&) = delete;
    WindowT& operator=(const WindowT&) = delete;
    virtual ~WindowT();

    HWND Hwnd() const { return hwnd_; }

protected:
    // Registers the class (once) and makes the window, hidden, with the
    // outer size given, centred on the screen's work area.
    void Create(const char* className, const char* title, DWORD style, DWORD exStyle, int outerWidth,
                int outerHeight);
    virtual LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    // A child control at a rectangle of the window's client area.
    HWND Child(const char* className, const char* text, DWORD style, const RECT& r, int id, HFONT font,
               DWORD exStyle = 0);

    // Keeps the focused control across deactivation, as a dialog does;
    // call from WM_ACTIVATE.
    void KeepFocus(WPARAM wParam);
    // The first control of the tab order.
    HWND FirstTabStop() const;

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
    HWND focus_ = nullptr;
};

// The outer size of a window whose client area is width by height.
SIZE OuterSize(int width, int height, DWORD style, DWORD exStyle);

// The 0xRRGGBB of the lamps as a Windows colour.
inline COLORREF FromRgb(unsigned rgb) {
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

// A control's text.
std::string TextOf(HWND hwnd);
