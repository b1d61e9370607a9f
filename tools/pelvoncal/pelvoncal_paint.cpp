// What pelvoncal shows: one target at a time while capturing; every target
// with where a touch on it now lands while asking to keep the result.
#include <cmath>
#include <cstdio>

#include "pelvoncal.h"

namespace {

using pelvonctl::PixelPoint;
using pelvonctl::ScreenCalibration;

const COLORREF Background = RGB(255, 255, 255);
const COLORREF CrossColour = RGB(0, 0, 0);
const COLORREF RingColour = RGB(255, 0, 0);
const COLORREF LandingColour = RGB(0, 160, 0);
const COLORREF DoneColour = RGB(160, 160, 160);
const int CrossArm = 20;  // pixels from the centre
const int RingRadius = 12;

POINT Client(const PelvoncalApp& app, const PixelPoint& p)
{
    const pelvonctl::PixelRect& m = app.Session->Monitor();
    return {static_cast<LONG>(std::lround(p.X)) - m.Left, static_cast<LONG>(std::lround(p.Y)) - m.Top};
}

void Target(HDC dc, POINT c, COLORREF cross, COLORREF ring)
{
    HPEN crossPen = CreatePen(PS_SOLID, 1, cross);
    HPEN ringPen = CreatePen(PS_SOLID, 2, ring);
    HGDIOBJ old = SelectObject(dc, crossPen);
    MoveToEx(dc, c.x - CrossArm, c.y, nullptr);
    LineTo(dc, c.x + CrossArm + 1, c.y);
    MoveToEx(dc, c.x, c.y - CrossArm, nullptr);
    LineTo(dc, c.x, c.y + CrossArm + 1);
    SelectObject(dc, ringPen);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Ellipse(dc, c.x - RingRadius, c.y - RingRadius, c.x + RingRadius + 1, c.y + RingRadius + 1);
    SelectObject(dc, oldBrush);
    SelectObject(dc, old);
    DeleteObject(crossPen);
    DeleteObject(ringPen);
}

void Dot(HDC dc, POINT c, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
    Ellipse(dc, c.x - 5, c.y - 5, c.x + 6, c.y + 6);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(brush);
}

// Text centred across the client at a height share, in lines.
void Text(HDC dc, const RECT& client, double heightShare, const std::string& text)
{
    RECT box = client;
    box.left += client.right / 10;
    box.right -= client.right / 10;
    box.top = static_cast<LONG>(client.bottom * heightShare);
    box.bottom = box.top + client.bottom / 5;
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &box, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
}

void PaintCapture(const PelvoncalApp& app, HDC dc, const RECT& client)
{
    const ScreenCalibration& s = *app.Session;
    Target(dc, Client(app, s.Targets()[s.TargetIndex()]), CrossColour, RingColour);
    char line[160];
    std::snprintf(line, sizeof line,
                  "Touch the centre of the target and lift your finger (point %u of %u).\nEsc cancels.",
                  static_cast<unsigned>(s.TargetIndex() + 1), static_cast<unsigned>(pelvonctl::TargetCount));
    Text(dc, client, 0.30, s.Notice().empty() ? line : s.Notice() + "\n" + line);
}

void PaintConfirm(const PelvoncalApp& app, HDC dc, const RECT& client)
{
    const ScreenCalibration& s = *app.Session;
    for (std::size_t i = 0; i < pelvonctl::TargetCount; i++) {
        Target(dc, Client(app, s.Targets()[i]), DoneColour, DoneColour);
        Dot(dc, Client(app, s.Lands(*s.Touched(i))), LandingColour);
    }
    if (app.HasTry) {
        Dot(dc, Client(app, s.Lands(app.Try)), RingColour);
    }
    RECT keep = PelvoncalKeepButton(s.Monitor());
    OffsetRect(&keep, -s.Monitor().Left, -s.Monitor().Top);
    FrameRect(dc, &keep, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    DrawTextA(dc, "Keep", 4, &keep, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    char line[256];
    std::snprintf(line, sizeof line,
                  "The green dots show where a touch on each target now lands; touch anywhere to try it.\n"
                  "Touch Keep or press Enter to keep this calibration. Esc, or %d s without a touch, "
                  "goes back to the saved one.",
                  app.SecondsLeft);
    Text(dc, client, 0.28, line);
}

} // namespace

RECT PelvoncalKeepButton(const pelvonctl::PixelRect& m)
{
    const LONG width = m.Width / 5;
    const LONG height = m.Height / 12;
    const LONG left = m.Left + (m.Width - width) / 2;
    const LONG top = m.Top + m.Height * 7 / 10 - height / 2;
    return {left, top, left + width, top + height};
}

void PelvoncalPaint(const PelvoncalApp& app, HDC dc, const RECT& client)
{
    HBRUSH background = CreateSolidBrush(Background);
    FillRect(dc, &client, background);
    DeleteObject(background);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, CrossColour);
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    switch (app.Session->CurrentStage()) {
    case ScreenCalibration::Stage::Capture: PaintCapture(app, dc, client); break;
    case ScreenCalibration::Stage::Confirm: PaintConfirm(app, dc, client); break;
    case ScreenCalibration::Stage::Unusable:
        Text(dc, client, 0.40, app.Session->Problem() + "\nTouch the screen or press a key to go back to the saved calibration.");
        break;
    }
    SelectObject(dc, oldFont);
}
