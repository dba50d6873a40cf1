"""A small, independent re-derivation of the stress functions in plain Python floats, operation by
operation as the library documents them (the `math` module calls the platform's libm, so results are
expected to agree bit for bit), plus a vectorised NumPy version of the exhaustive search for coarse
grids. Used as the oracle of test_stress.py, test_inversion.py and the inversion benchmark."""

from __future__ import annotations

import math

import numpy as np

D2R = 0.017453292519943295
R2D = 57.29577951308232


def wrap(x):
    r = math.fmod(x, 360.0)
    return r + 360.0 if r < 0.0 else r


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def norm(a):
    return math.sqrt(dot(a, a))


def scale(s, a):
    return (s * a[0], s * a[1], s * a[2])


def unit(a):
    n = norm(a)
    return (a[0] / n, a[1] / n, a[2] / n)


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def clamp(x):
    return -1.0 if x < -1.0 else (1.0 if x > 1.0 else x)


def axis(trend, plunge):
    t, p = trend * D2R, plunge * D2R
    return unit((math.sin(t) * math.cos(p), math.cos(t) * math.cos(p), -math.sin(p)))


def trend_plunge(v):
    trend = math.atan2(v[0], v[1]) * R2D
    if trend < 0.0:
        trend += 360.0
    if trend >= 360.0:
        trend = 0.0
    return trend, math.asin(max(-1.0, min(1.0, -v[2]))) * R2D


def tensor(s1t, s1p, s3t, s3p, phi, sigma1=1.0, sigma3=0.0):
    """(S1, S2, S3, matrix as nine floats), or None where the tensor is refused."""
    s1, s3 = axis(s1t, s1p), axis(s3t, s3p)
    if abs(math.acos(clamp(dot(s1, s3))) * R2D - 90.0) > 1.0 or not (0.0 <= phi <= 1.0) or sigma1 <= sigma3:
        return None
    s2 = unit(cross(s3, s1))
    sigma2 = (1.0 - phi) * sigma3 + phi * sigma1
    m = [sigma1 * s1[i] * s1[j] + sigma2 * s2[i] * s2[j] + sigma3 * s3[i] * s3[j] for i in range(3) for j in range(3)]
    return s1, s2, s3, m


def resolve(m, dip_direction, dip, threshold=1e-5):
    """The forward model: a dict of what solve_stress reports (slip as a vector)."""
    a, d = dip_direction * D2R, dip * D2R
    n = (math.sin(d) * math.sin(a), math.sin(d) * math.cos(a), math.cos(d))
    t = tuple(-(m[3 * i] * n[0] + m[3 * i + 1] * n[1] + m[3 * i + 2] * n[2]) for i in range(3))
    tn = math.sqrt(dot(t, t))
    mn = dot(t, n)
    normal = scale(mn, n)
    shear = (t[0] - normal[0], t[1] - normal[1], t[2] - normal[2])
    length = norm(shear)
    out = dict(traction=t, traction_magnitude=-tn if mn < 0.0 else tn, normal_stress=normal,
               normal_stress_magnitude=mn, shear_stress=shear, shear_stress_magnitude=length,
               is_valid=length > threshold, rake=None, slip=None, slip_tendency=None, deformation_index=None)
    if not out["is_valid"]:
        return out
    s = wrap(dip_direction - 90.0) * D2R
    strike = unit((math.sin(s), math.cos(s), 0.0))
    down = axis(dip_direction, dip)
    q = (shear[0] / length, shear[1] / length, shear[2] / length)
    theta = math.acos(clamp(dot(strike, q))) * R2D
    rake = -theta if dot(q, down) > 0.0 else theta
    r = rake * D2R
    slip = unit((math.cos(r) * math.sin(s) - math.cos(d) * math.sin(r) * math.cos(s),
                 math.cos(r) * math.cos(s) + math.cos(d) * math.sin(r) * math.sin(s), math.sin(d) * math.sin(r)))
    out.update(rake=rake, slip=slip, slip_tendency=length / tn, deformation_index=(tn - length) / out["traction_magnitude"])
    return out


def misfit(m, row, sense=True):
    """Misfit in degrees of one (strike, dip, trend, plunge) row, or None."""
    if not all(math.isfinite(x) for x in row):
        return None
    pred = resolve(m, wrap(row[0] + 90.0), row[1])
    if not pred["is_valid"]:
        return None
    line, s = axis(row[2], row[3]), pred["slip"]
    angle = math.acos(clamp((line[0] * s[0] + line[1] * s[1]) + line[2] * s[2])) * R2D
    return angle if sense else min(angle, 180.0 - angle)


def fit(m, rows, senses=None, weights=None):
    """The weighted FitScore (mean, count, effective sample size) of one matrix, or None."""
    count, sw, swm, sww = 0, 0.0, 0.0, 0.0
    for i, row in enumerate(rows):
        w = 1.0 if weights is None else float(weights[i])
        if w == 0.0:
            continue
        mf = misfit(m, row, True if senses is None else bool(senses[i]))
        if mf is None:
            continue
        count += 1
        sw += w
        swm += w * mf
        sww += w * w
    if not sw > 0.0:
        return None
    return swm / sw, count, sw * sw / sww


def frames(step):
    """(s1_trend, s1_plunge, s3_trend, s3_plunge) in enumeration order."""
    out = []
    p = 0.0
    while True:
        ref = (0.0, 6.123233995736766e-17, -1.0) if abs(p) <= 89.0 else (1.0, 6.123233995736766e-17, -0.0)
        t = 0.0
        while t < 359.999999999:
            s1 = axis(t, p)
            pv = cross(s1, ref)
            if norm(pv) >= 1e-9:
                pv = unit(pv)
                qv = cross(s1, pv)
                r = 0.0
                while r < 179.999999999:
                    c, s = math.cos(r * D2R), math.sin(r * D2R)
                    s3 = (c * pv[0] + s * qv[0], c * pv[1] + s * qv[1], c * pv[2] + s * qv[2])
                    if norm(s3) >= 1e-9:
                        out.append((t, p, *trend_plunge(unit(s3))))
                    r += step
            t += step
        if p >= 89.999999999:
            break
        p += step
        if not p <= 90.000000001:
            break
    return out


def phis(step):
    out, s = [], 0.0
    while s <= 1.000000001:
        out.append(min(s, 1.0))
        s += step
    return out


def search(rows, senses=None, weights=None, angle_step=10.0, phi_step=0.1):
    """The documented exhaustive search: score everything, stable-sort, keep six."""
    scored, tried = [], 0
    for f in frames(angle_step):
        for phi in phis(phi_step):
            tried += 1
            t = tensor(*f, phi)
            if t is None:
                continue
            score = fit(t[3], rows, senses, weights)
            if score is not None:
                scored.append((score, t, phi))
    scored.sort(key=lambda c: (c[0][0], -c[0][2]))
    return scored[:6], tried, len(scored)


# --------------------------------------------------------------------------------------------------
# Vectorised NumPy peer of the whole search (same grid, same ranking keys), used to check the
# enumeration at coarse steps and as the benchmark's peer. Agrees with the library to rounding.

def numpy_frames(step):
    return np.array(frames(step), dtype=float)


def numpy_search(faults, senses=None, weights=None, angle_step=10.0, phi_step=0.1, chunk=4096):
    faults = np.asarray(faults, dtype=float)
    n_faults = faults.shape[0]
    senses = np.ones(n_faults, bool) if senses is None else np.asarray(senses, bool)
    weights = np.ones(n_faults) if weights is None else np.asarray(weights, float)
    fr = numpy_frames(angle_step)
    ph = np.array(phis(phi_step))

    def axes(t, p):
        t, p = t * D2R, p * D2R
        v = np.stack([np.sin(t) * np.cos(p), np.cos(t) * np.cos(p), -np.sin(p)], axis=-1)
        return v / np.linalg.norm(v, axis=-1, keepdims=True)

    s1, s3 = axes(fr[:, 0], fr[:, 1]), axes(fr[:, 2], fr[:, 3])
    s2 = np.cross(s3, s1)
    s2 /= np.linalg.norm(s2, axis=-1, keepdims=True)
    # Candidates: frames x phis, phi fastest.
    s1c, s2c, s3c = (np.repeat(v, len(ph), axis=0) for v in (s1, s2, s3))
    phic = np.tile(ph, len(fr))
    sig = np.einsum("ci,cj->cij", s1c, s1c) + phic[:, None, None] * np.einsum("ci,cj->cij", s2c, s2c)

    keep = weights > 0
    f = faults[keep]
    w, sense = weights[keep], senses[keep]
    dd = np.fmod(f[:, 0] + 90.0, 360.0)
    dd = np.where(dd < 0, dd + 360.0, dd) * D2R
    dip = f[:, 1] * D2R
    n = np.stack([np.sin(dip) * np.sin(dd), np.sin(dip) * np.cos(dd), np.cos(dip)], axis=-1)
    line = axes(f[:, 2], f[:, 3])
    s = dd - 90.0 * D2R
    strike = np.stack([np.sin(s), np.cos(s), np.zeros_like(s)], axis=-1)
    down = axes(f[:, 0] + 90.0, f[:, 1])
    finite = np.isfinite(f).all(axis=1)

    means = np.empty(len(phic))
    ess = np.empty(len(phic))
    counts = np.empty(len(phic), dtype=np.int64)
    for lo in range(0, len(phic), chunk):
        sg = sig[lo:lo + chunk]
        t = -np.einsum("cij,fj->cfi", sg, n)
        m = np.einsum("cfi,fi->cf", t, n)
        shear = t - m[..., None] * n[None]
        length = np.linalg.norm(shear, axis=-1)
        valid = (length > 1e-5) & finite[None]
        q = shear / np.where(valid, length, 1.0)[..., None]
        theta = np.arccos(np.clip(np.einsum("cfi,fi->cf", q, strike), -1, 1))
        rake = np.where(np.einsum("cfi,fi->cf", q, down) > 0, -theta, theta)
        cr, sr = np.cos(rake), np.sin(rake)
        cd, sd = np.cos(dip), np.sin(dip)
        v = np.stack([cr * np.sin(s) - cd * sr * np.cos(s), cr * np.cos(s) + cd * sr * np.sin(s), sd * sr], axis=-1)
        v /= np.linalg.norm(v, axis=-1, keepdims=True)
        ang = np.degrees(np.arccos(np.clip(np.einsum("cfi,fi->cf", v, line), -1, 1)))
        ang = np.where(sense[None], ang, np.minimum(ang, 180.0 - ang))
        wv = np.where(valid, w[None], 0.0)
        sw = wv.sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            means[lo:lo + chunk] = np.where(valid, wv * ang, 0.0).sum(axis=1) / sw
            ess[lo:lo + chunk] = sw * sw / (wv * wv).sum(axis=1)
        counts[lo:lo + chunk] = valid.sum(axis=1)
    ok = counts > 0
    idx = np.nonzero(ok)[0]
    order = idx[np.lexsort((-ess[idx], means[idx]))][:6]
    return dict(order=order, means=means[order], ess=ess[order], counts=counts[order], tried=len(phic),
                scored=int(ok.sum()), s1=s1c[order], s3=s3c[order], phi=phic[order])
