"""Procedural dusk landscape: sky, far ranges, a castle on a crag, valley fog,
pines in the foreground and rising embers.

`Scene.frame(t)` is periodic in t with period `Scene.period`: every moving part
either repeats a whole number of times per period or is cross-faded against
its own copy one period later, so the clip loops without a seam.
"""

import math

import numpy as np
from PIL import Image, ImageDraw

DUSK = {
    "sky": [(0.00, (12, 11, 30)), (0.22, (30, 20, 52)), (0.42, (78, 36, 66)),
            (0.53, (150, 62, 58)), (0.60, (222, 122, 64)), (0.655, (252, 180, 104)),
            (0.70, (255, 206, 140))],
    "sun": (255, 208, 142),
    "glow": (255, 150, 70),
    "far": (118, 54, 72),
    "far_rim": (255, 164, 100),
    "mid": (46, 22, 36),
    "near": (14, 8, 13),
    "fog_warm": (236, 150, 110),
    "fog_cool": (120, 70, 104),
    "cloud_dark": (70, 32, 58),
    "cloud_lit": (255, 150, 96),
    "ember": (255, 140, 50),
    "window": (255, 196, 110),
    "stars": 1.0,
}

NIGHT = {
    "sky": [(0.00, (6, 8, 22)), (0.30, (14, 22, 48)), (0.50, (34, 48, 86)),
            (0.62, (70, 86, 126)), (0.70, (118, 128, 160))],
    "sun": (236, 240, 255),
    "glow": (150, 170, 230),
    "far": (48, 58, 88),
    "far_rim": (190, 206, 255),
    "mid": (20, 24, 40),
    "near": (7, 8, 14),
    "fog_warm": (170, 180, 214),
    "fog_cool": (70, 82, 118),
    "cloud_dark": (26, 32, 58),
    "cloud_lit": (160, 176, 224),
    "ember": (255, 170, 80),
    "window": (255, 190, 110),
    "stars": 1.6,
}

AURUM = {
    "sky": [(0.00, (40, 26, 42)), (0.25, (110, 60, 62)), (0.45, (200, 112, 70)),
            (0.58, (246, 170, 92)), (0.68, (255, 226, 160))],
    "sun": (255, 246, 210),
    "glow": (255, 190, 110),
    "far": (168, 96, 84),
    "far_rim": (255, 214, 150),
    "mid": (70, 36, 40),
    "near": (22, 12, 14),
    "fog_warm": (255, 200, 150),
    "fog_cool": (190, 120, 110),
    "cloud_dark": (150, 80, 80),
    "cloud_lit": (255, 214, 150),
    "ember": (255, 160, 60),
    "window": (255, 210, 130),
    "stars": 0.0,
}


def smoothstep(e0, e1, x):
    t = np.clip((x - e0) / (e1 - e0), 0.0, 1.0)
    return t * t * (3 - 2 * t)


def tile_noise(rng, w, h, cells_x, cells_y):
    """Smooth noise in [-1, 1]-ish that wraps around horizontally with period w."""
    g = rng.uniform(-1.0, 1.0, (cells_y + 3, cells_x)).astype(np.float32)
    g3 = np.concatenate([g, g, g], axis=1)
    img = Image.fromarray(g3, "F").resize((3 * w, h + int(3 * h / cells_y)), Image.BICUBIC)
    a = np.asarray(img)
    return a[:h, w:2 * w].copy()


def fbm(rng, w, h, base_x, base_y, octaves=4, gain=0.5):
    out = np.zeros((h, w), np.float32)
    amp, total = 1.0, 0.0
    for o in range(octaves):
        out += amp * tile_noise(rng, w, h, base_x * 2 ** o, base_y * 2 ** o)
        total += amp
        amp *= gain
    return out / total


def ridge_line(rng, w, base, amp, freqs, sharp=True):
    x = np.arange(w, dtype=np.float32)
    y = np.zeros(w, np.float32)
    a = 1.0
    for f in freqs:
        n = f + 1
        pts = rng.uniform(-1, 1, n + 1)
        pts[-1] = pts[0]
        v = np.interp(x / w * n, np.arange(n + 1), pts)
        y += a * ((1 - np.abs(v)) if sharp else v)
        a *= 0.5
    y = (y - y.min()) / (y.max() - y.min() + 1e-6)
    return base - amp * y


def blur_x(a, r):
    k = np.ones(2 * r + 1, np.float32) / (2 * r + 1)
    return np.convolve(np.pad(a, r, mode="edge"), k, mode="valid")


def drift(field, offset):
    """Field rolled left by a fractional number of pixels (it wraps around)."""
    i = int(math.floor(offset))
    f = offset - i
    a = np.roll(field, -i, axis=1)
    b = np.roll(field, -(i + 1), axis=1)
    return a * (1 - f) + b * f


def looped_drift(field, speed, t, period):
    """Drifting field that loops: cross-fade against its copy one period behind,
    with weights that keep the field's contrast constant through the fade."""
    w = t / period
    a = drift(field, speed * t)
    b = drift(field, speed * (t - period))
    return ((1 - w) * a + w * b) / math.sqrt((1 - w) ** 2 + w ** 2)


class Scene:
    def __init__(self, width=1366, height=768, palette=DUSK, seed=11, period=8.0,
                 mirror=False, embers=70):
        self.w, self.h = width, height
        self.s = width / 1366.0
        self.p = palette
        self.period = period
        self.mirror = mirror
        self.rng = np.random.default_rng(seed)
        self._build_static()
        self._build_embers(embers)

    # -- static layers -----------------------------------------------------
    def _build_static(self):
        w, h, s, p, rng = self.w, self.h, self.s, self.p, self.rng
        # Ridges first: the sun is set into the lowest gap between the ranges.
        far = ridge_line(rng, w, 0.625 * h, 120 * s, [2, 5, 11, 23, 53])
        mid = ridge_line(rng, w, 0.72 * h, 95 * s, [1, 3, 7, 17, 37])
        lo, hi = int(0.50 * w), int(0.68 * w)
        skyline = blur_x(np.minimum(far, mid), int(20 * s))
        sun_x = lo + int(np.argmax(skyline[lo:hi]))
        self.sun = (float(sun_x), float(skyline[sun_x] - 6 * s))

        ys = np.linspace(0, 1, h, dtype=np.float32)
        pos = np.array([q[0] for q in p["sky"]], np.float32)
        cols = np.array([q[1] for q in p["sky"]], np.float32)
        sky = np.stack([np.interp(ys, pos, cols[:, c]) for c in range(3)], -1)
        sky = np.broadcast_to(sky[:, None, :], (h, w, 3)).copy()

        yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
        d2 = (xx - self.sun[0]) ** 2 + ((yy - self.sun[1]) * 1.6) ** 2
        glow = np.array(p["glow"], np.float32)
        sky += glow * (0.42 * np.exp(-d2 / (2 * (150 * s) ** 2)) + 0.22 * np.exp(-d2 / (2 * (480 * s) ** 2)))[..., None]
        air = sky.copy()
        disc = smoothstep(27 * s, 24 * s, np.sqrt((xx - self.sun[0]) ** 2 + (yy - self.sun[1]) ** 2))
        sky = sky * (1 - disc[..., None]) + np.array(p["sun"], np.float32) * disc[..., None]
        self.sky = sky
        self.dist_sun = np.sqrt(d2)

        # Stars: fixed points, each twinkling at a whole number of cycles per loop.
        n = int(260 * p["stars"] * s * s) if p["stars"] > 0 else 0
        sx = rng.uniform(0, w, n)
        sy = (rng.uniform(0, 1, n) ** 1.7) * 0.5 * h
        self.stars = (sx.astype(int), sy.astype(int), rng.uniform(0.25, 1.0, n) * (1 - sy / (0.5 * h)) * 150,
                      rng.integers(1, 4, n), rng.uniform(0, 2 * math.pi, n))

        # Clouds: long streaks in a band above the horizon.
        band0, band1 = int(0.22 * h), int(0.58 * h)
        cl = fbm(rng, w, band1 - band0, 3, 10, 5, 0.55)
        self.cloud_band = (band0, band1)
        self.cloud_field = cl
        cy = np.linspace(0, 1, band1 - band0, dtype=np.float32)[:, None]
        self.cloud_env = smoothstep(0.0, 0.35, cy) * smoothstep(1.0, 0.6, cy)
        lit = smoothstep(0.2, 1.0, cy) * np.exp(-((np.arange(w) - self.sun[0]) / (520 * s)) ** 2)[None, :]
        self.cloud_col = (np.array(p["cloud_dark"], np.float32) * (1 - lit[..., None]) +
                          np.array(p["cloud_lit"], np.float32) * lit[..., None])

        # Far range with a warm rim where it faces the sun.
        x = np.arange(w, dtype=np.float32)
        far_m = smoothstep(-0.8, 0.8, yy - far[None, :])
        rim = np.clip(1 - (yy - far[None, :]) / (5 * s), 0, 1) * far_m
        rim *= np.exp(-((x - self.sun[0]) / (420 * s)) ** 2)[None, :] * 0.55
        haze = smoothstep(far[None, :], far[None, :] + 90 * s, yy)
        far_col = np.array(p["far"], np.float32) * (0.75 + 0.25 * (1 - haze))[..., None]
        # Distant slopes take on the colour of the sky behind them.
        far_col = far_col * 0.68 + air * 0.32 + np.array(p["far_rim"], np.float32) * rim[..., None] * 0.9
        self.far = (far_m, far_col)

        # Mid range, castle crag and distant pines.
        ss = 2
        m = Image.new("L", (w * ss, h * ss), 0)
        d = ImageDraw.Draw(m)
        d.polygon([(0, h * ss)] + [(i * ss, mid[i] * ss) for i in range(0, w, 2)] + [(w * ss, mid[-1] * ss),
                                                                                     (w * ss, h * ss)], fill=255)
        self.windows = self._castle(d, ss, mid)
        for i in range(26):
            px = rng.uniform(0.25, 0.72) * w
            self._pine(d, ss, px, mid[int(px)] + 4 * s, rng.uniform(18, 34) * s, rng)
        mid_m = np.asarray(m.resize((w, h), Image.LANCZOS)).astype(np.float32) / 255
        mid_haze = smoothstep(0.45 * h, 0.85 * h, yy)
        mid_col = np.array(p["mid"], np.float32) * (1.15 - 0.45 * mid_haze)[..., None]
        self.mid = (mid_m, mid_col)

        # Foreground hills and pines framing both sides.
        near = ridge_line(rng, w, 0.90 * h, 70 * s, [1, 2, 5, 13], sharp=False)
        m = Image.new("L", (w * ss, h * ss), 0)
        d = ImageDraw.Draw(m)
        d.polygon([(0, h * ss)] + [(i * ss, near[i] * ss) for i in range(0, w, 2)] + [(w * ss, near[-1] * ss),
                                                                                       (w * ss, h * ss)], fill=255)
        for px, ht in ((0.015, 430), (0.06, 360), (0.105, 300), (0.14, 235), (0.035, 270), (0.18, 170),
                       (0.985, 300), (0.95, 240), (0.915, 180), (0.88, 130)):
            x0 = px * w
            self._pine(d, ss, x0, near[min(w - 1, int(x0))] + 12 * s, ht * s, rng)
        near_m = np.asarray(m.resize((w, h), Image.LANCZOS)).astype(np.float32) / 255
        self.near = (near_m, np.array(p["near"], np.float32))

        # Valley fog between the mid range and the foreground.
        f0, f1 = int(0.50 * h), int(0.95 * h)
        self.fog_band = (f0, f1)
        self.fog_a = fbm(rng, w, f1 - f0, 4, 3, 5, 0.55)
        self.fog_b = fbm(rng, w, f1 - f0, 7, 4, 4, 0.5)
        fy = np.linspace(0, 1, f1 - f0, dtype=np.float32)[:, None]
        self.fog_env = smoothstep(0.0, 0.35, fy) * smoothstep(1.0, 0.55, fy)
        warm = np.exp(-((np.arange(w) - self.sun[0]) / (380 * s)) ** 2)[None, :] * (1 - 0.6 * fy)
        self.fog_col = (np.array(p["fog_cool"], np.float32) * (1 - warm[..., None]) +
                        np.array(p["fog_warm"], np.float32) * warm[..., None])

        self.haze = glow * (0.16 * np.exp(-d2 / (2 * (230 * s) ** 2)))[..., None]

        # Vignette, and a fixed dither against banding in the dark gradients.
        vx = (xx / w - 0.5) * 2
        vy = (yy / h - 0.45) * 2
        self.vignette = (1 - 0.38 * smoothstep(0.55, 1.6, np.sqrt(vx ** 2 + vy ** 2)))[..., None]
        self.dither = rng.uniform(-0.5, 0.5, (h, w, 1)).astype(np.float32)

    def _pine(self, d, ss, x, base, height, rng):
        s = ss
        tiers = max(4, int(height / 22 * 1.0) + 3)
        width = height * 0.34
        d.line([(x * s, base * s), (x * s, (base - height * 0.2) * s)], fill=255, width=max(1, int(height * 0.03 * s)))
        for i in range(tiers):
            f = i / tiers
            top = base - height * (0.12 + 0.88 * (i + 1) / tiers)
            bot = base - height * (0.1 + 0.85 * i / tiers)
            half = width * (1 - f) * 0.5 + width * 0.06
            jit = rng.uniform(-0.08, 0.08) * half
            d.polygon([((x - half + jit) * s, bot * s), (x * s, (top - height * 0.04) * s),
                       ((x + half + jit) * s, bot * s), ((x + half * 0.3) * s, (bot - height * 0.02) * s),
                       ((x - half * 0.3) * s, (bot - height * 0.02) * s)], fill=255)

    def _castle(self, d, ss, mid):
        """A keep and towers on a crag; returns the lit windows as (x, y, w, h, group)."""
        w, h, s = self.w, self.h, self.s
        cx = 0.80 * w

        def X(v):
            return (cx + v * s) * ss

        def Y(v):
            return v * ss

        base = 0.56 * h
        top = base - 10 * s
        # Crag rising out of the ridge.
        def foot(v):
            # Meet the ridge just below its line so the crag grows out of it.
            i = min(w - 1, max(0, int(X(v) / ss)))
            return mid[i] + 3 * s

        crag = [(-190, foot(-190)), (-150, base + 60 * s), (-110, base + 22 * s), (-70, base + 8 * s),
                (90, base + 4 * s), (120, base + 30 * s), (150, base + 48 * s), (230, foot(230)), (230, h), (-190, h)]
        d.polygon([(X(px), Y(py)) for px, py in crag], fill=255)

        def rect(x0, x1, y0, y1):
            d.rectangle([min(X(x0), X(x1)), Y(y0), max(X(x0), X(x1)), Y(y1)], fill=255)

        def merlons(x0, x1, y, size=7):
            n = int((x1 - x0) / (size * 2))
            for i in range(n + 1):
                a = x0 + i * (x1 - x0) / max(1, n)
                rect(a - size / 2, a + size / 2, y - size * s, y + 1)

        def roof(x0, x1, y, height):
            d.polygon([(X(x0 - 4), Y(y)), (X((x0 + x1) / 2), Y(y - height * s)), (X(x1 + 4), Y(y))], fill=255)

        # Curtain wall.
        rect(-80, 100, top - 50 * s, base + 10 * s)
        merlons(-80, 100, top - 50 * s)
        # Keep.
        rect(-20, 45, top - 150 * s, base)
        merlons(-20, 45, top - 150 * s, 8)
        # Tall tower with spire.
        rect(50, 78, top - 200 * s, base)
        roof(50, 78, top - 200 * s, 70)
        # Left tower.
        rect(-75, -50, top - 110 * s, base)
        roof(-75, -50, top - 110 * s, 44)
        # Small right tower.
        rect(92, 110, top - 95 * s, base)
        merlons(92, 110, top - 95 * s, 5)
        # Banner pole on the keep.
        rect(10, 12, top - 185 * s, top - 150 * s)
        d.polygon([(X(12), Y(top - 185 * s)), (X(30), Y(top - 179 * s)), (X(12), Y(top - 173 * s))], fill=255)

        wins = []
        for (wx, wy, g) in ((0, -120, 0), (22, -120, 1), (0, -90, 2), (22, -95, 0), (60, -165, 1), (60, -130, 2),
                            (-66, -85, 1), (-66, -60, 0), (98, -70, 2), (-40, -30, 2), (80, -30, 0)):
            x = cx + wx * s
            wins.append((x, top + wy * s, 3.2 * s, 6.5 * s, g))
        return wins

    def _build_embers(self, n):
        rng, w, h, s = self.rng, self.w, self.h, self.s
        self.embers = []
        for _ in range(n):
            cycles = int(rng.integers(1, 3))
            self.embers.append({
                "cycles": cycles,
                "phase": rng.uniform(0, 1),
                "x0": rng.uniform(-0.05, 1.05) * w,
                "y0": rng.uniform(0.78, 1.08) * h,
                "rise": rng.uniform(0.35, 0.75) * h / cycles * (1.0 if cycles == 1 else 1.2),
                "drift": rng.uniform(-60, 90) * s,
                "sway": rng.uniform(4, 22) * s,
                "sway_k": int(rng.integers(1, 4)),
                "sway_ph": rng.uniform(0, 2 * math.pi),
                "flick_k": int(rng.integers(3, 9)),
                "flick_ph": rng.uniform(0, 2 * math.pi),
                "r": rng.uniform(0.7, 1.9) * s * (2.6 if rng.uniform() < 0.08 else 1.0),
                "bright": rng.uniform(0.5, 1.0),
            })

    # -- per frame -----------------------------------------------------------
    def frame(self, t):
        T = self.period
        img = self.sky.copy()

        sx, sy, sb, sk, sph = self.stars
        if len(sx):
            tw = 0.65 + 0.35 * np.sin(2 * math.pi * sk * t / T + sph)
            np.add.at(img, (sy, sx), (sb * tw)[:, None])

        b0, b1 = self.cloud_band
        cl = looped_drift(self.cloud_field, 7 * self.s, t, T)
        dens = smoothstep(0.05, 0.45, cl) * self.cloud_env * 0.75
        img[b0:b1] = img[b0:b1] * (1 - dens[..., None]) + self.cloud_col * dens[..., None]

        fm, fc = self.far
        img = img * (1 - fm[..., None]) + fc * fm[..., None]

        mm, mc = self.mid
        img = img * (1 - mm[..., None]) + mc * mm[..., None]
        self._windows(img, t)

        f0, f1 = self.fog_band
        fa = looped_drift(self.fog_a, 14 * self.s, t, T)
        fb = looped_drift(self.fog_b, -9 * self.s, t, T)
        fog = smoothstep(-0.35, 0.55, 0.65 * fa + 0.35 * fb) * self.fog_env * 0.55
        img[f0:f1] = img[f0:f1] * (1 - fog[..., None]) + self.fog_col * fog[..., None]

        # Light scattered in the air in front of the ranges.
        img += self.haze

        nm, nc = self.near
        img = img * (1 - nm[..., None]) + nc * nm[..., None]

        self._embers(img, t)
        img = img * self.vignette + self.dither
        out = np.clip(img, 0, 255).astype(np.uint8)
        # Mirroring the finished picture puts the castle on the left.
        return np.ascontiguousarray(out[:, ::-1]) if self.mirror else out

    def _windows(self, img, t):
        T = self.period
        col = np.array(self.p["window"], np.float32)
        for x, y, ww, hh, g in self.windows:
            fl = 0.75 + 0.15 * math.sin(2 * math.pi * (3 + g) * t / T + g) + 0.1 * math.sin(2 * math.pi * (7 + 2 * g) * t / T)
            x0, y0 = int(x), int(y)
            x1, y1 = max(x0 + 1, int(x + ww)), max(y0 + 1, int(y + hh))
            img[y0:y1, x0:x1] = img[y0:y1, x0:x1] * (1 - fl) + col * fl
            # A faint halo around each window.
            hx0, hy0 = max(0, x0 - 4), max(0, y0 - 4)
            img[hy0:y1 + 4, hx0:x1 + 4] += col * 0.06 * fl

    def _embers(self, img, t):
        T, w, h = self.period, self.w, self.h
        col = np.array(self.p["ember"], np.float32)
        core = np.array([255, 236, 190], np.float32)
        for e in self.embers:
            u = (e["cycles"] * t / T + e["phase"]) % 1.0
            x = e["x0"] + e["drift"] * u + e["sway"] * math.sin(2 * math.pi * e["sway_k"] * t / T + e["sway_ph"])
            y = e["y0"] - e["rise"] * u
            # Fade in and out over each life so the wrap-around is invisible.
            a = math.sin(math.pi * u) ** 1.5 * e["bright"]
            a *= 0.7 + 0.3 * math.sin(2 * math.pi * e["flick_k"] * t / T + e["flick_ph"])
            r = e["r"]
            R = int(math.ceil(r * 5)) + 1
            xi, yi = int(x), int(y)
            x0, x1 = max(0, xi - R), min(w, xi + R + 1)
            y0, y1 = max(0, yi - R), min(h, yi + R + 1)
            if x0 >= x1 or y0 >= y1:
                continue
            gy, gx = np.mgrid[y0:y1, x0:x1].astype(np.float32)
            d2 = (gx - x) ** 2 + (gy - y) ** 2
            halo = np.exp(-d2 / (2 * (r * 2.2) ** 2)) * 0.55
            dot = np.exp(-d2 / (2 * (r * 0.7) ** 2))
            img[y0:y1, x0:x1] += (col * halo[..., None] + core * dot[..., None] * 0.9) * a
