// The mapping between values and pixels of a plot image, and its inverse. Every plot maps
// frequency to x and amplitude to y the same way, so the pointer read-out, the click that
// picks a tone frequency and the curves drawn agree to the pixel.
#pragma once

namespace sonarix {

// The data area of a plot: the panel, its margins and the value ranges drawn into it.
struct PlotGeometry {
    int panelWidth = 0;
    int panelHeight = 0;
    int left = 0;
    int bottom = 0;
    int right = 0;
    int top = 0;
    double freqMin = 0.0;
    double freqMax = 0.0;
    double ampMax = 0.0;

    int DataWidth() const { return panelWidth - left - right; }
    int DataHeight() const { return panelHeight - bottom - top; }

    // x = Round((f - freqMin) * W / (freqMax - freqMin)) + left.
    int X(double f) const;
    // y = panelHeight - (Round(a / ampMax * H) + bottom).
    int Y(double a) const;
    // The same for whole curves of n values.
    void MapX(const double* f, int n, int* x) const;
    void MapY(const double* a, int n, int* y) const;
    // The same before rounding (within +-2^26), for pictures drawn finer than the image's
    // pixels: a vector picture, or a screen of more device pixels than logical ones.
    void MapFineX(const double* f, int n, double* x) const;
    void MapFineY(const double* a, int n, double* y) const;

    // The inverse of X: (x - left) / W * (freqMax - freqMin) + freqMin, formed in extended
    // precision from the integer pixel values and not clamped (a click in the left margin
    // gives less than freqMin).
    double FrequencyAt(int x) const;
    // The inverse of Y: (panelHeight - bottom - y) / H * ampMax, in extended precision.
    double AmplitudeAt(int y) const;
};

}  // namespace sonarix
