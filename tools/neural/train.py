#!/usr/bin/python3
"""Trains the neural correlation model and writes its weights file.

    nice -n 10 /usr/bin/python3 tools/neural/train.py --out resources/neural/tavro_neural.weights

The data are generated on the fly from a fixed seed, so the same command on the
same torch version (Debian's python3-torch, 4 training threads, 4 data workers)
reproduces the weights; on 8 otherwise idle cores it takes about 35 minutes.
The network and the warping used to make its inputs must stay in step with
src/neural (refine_network.cpp, inference_kernels.cu): the layer list below is
the one the C++ loader expects for model versions 1 and 2.

Weights file, little-endian:
    char[4]  magic "TNWF"
    u32      format version (1)
    u32      model version
    u32      refinement iterations the model was trained for
    u32      layer count L
    L x u32[4] layer shapes: out channels, in channels, kernel height, kernel width
    u32      CRC-32 (IEEE) of the payload
    payload: per layer, its float32 weights [out][in][kh][kw] then its float32 biases [out]
"""

import argparse
import math
import multiprocessing
import struct
import time
import zlib

import torch
import torch.nn as nn
import torch.nn.functional as F

# Version 2: the residual is the antisymmetric part of the network's answer,
# 0.5 * (net(ref, warped) - net(warped, ref)), so that swapping the tiles
# turns the answer round exactly and whatever the network answers alike for
# both orders (its bias at alignment, much of its noise) cancels.
MODEL_VERSION = 2
ITERATIONS = 4
SLOPE = 0.1  # leaky ReLU slope, fixed in the C++ inference too


class RefineNet(nn.Module):
    """A small U-shaped network: reference and warped deformed tile in, residual (u, v) out."""

    def __init__(self):
        super().__init__()
        self.c1 = nn.Conv2d(2, 12, 3, padding=1)
        self.c2 = nn.Conv2d(12, 24, 3, padding=1)
        self.c3 = nn.Conv2d(24, 24, 3, padding=1)
        self.c4 = nn.Conv2d(24, 32, 3, padding=1)
        self.c5 = nn.Conv2d(32, 32, 3, padding=1)
        self.c6 = nn.Conv2d(32, 32, 3, padding=1)
        self.c7 = nn.Conv2d(56, 24, 3, padding=1)
        self.c8 = nn.Conv2d(36, 12, 3, padding=1)
        self.c9 = nn.Conv2d(12, 2, 3, padding=1)

    def layers(self):
        return [self.c1, self.c2, self.c3, self.c4, self.c5, self.c6, self.c7, self.c8, self.c9]

    def forward(self, x):
        act = lambda t: F.leaky_relu(t, SLOPE)
        f1 = act(self.c1(x))
        h = act(self.c2(F.avg_pool2d(f1, 2)))
        f2 = act(self.c3(h))
        q = act(self.c4(F.avg_pool2d(f2, 2)))
        q = act(self.c5(q))
        q = act(self.c6(q))
        up = F.interpolate(q, scale_factor=2, mode="bilinear", align_corners=False)
        h = act(self.c7(torch.cat([up, f2], 1)))
        up = F.interpolate(h, scale_factor=2, mode="bilinear", align_corners=False)
        g = act(self.c8(torch.cat([up, f1], 1)))
        return self.c9(g)


class Antisymmetric(nn.Module):
    """The residual the engine applies: the part of the answer that turns round with the tiles."""

    def __init__(self, net):
        super().__init__()
        self.net = net

    def forward(self, x):
        both = self.net(torch.cat([x, x.flip(1)], 0))
        forward, backward = both.chunk(2, 0)
        return 0.5 * (forward - backward)


def dihedral(x, t, k):
    """One of the eight rotations and mirrorings of a batch, its displacement turned with it."""
    if k & 1:
        x = x.transpose(2, 3)
        t = t.transpose(2, 3).flip(1)
    if k & 2:
        x = x.flip(3)
        t = t.flip(3) * torch.tensor([-1.0, 1.0]).reshape(1, 2, 1, 1)
    if k & 4:
        x = x.flip(2)
        t = t.flip(2) * torch.tensor([1.0, -1.0]).reshape(1, 2, 1, 1)
    return x, t


def cubic_weights(t):
    # Cubic convolution with a = -0.5, the kernel of the C++ warp.
    a = -0.5
    def w(x):
        x = x.abs()
        return torch.where(x <= 1, ((a + 2) * x - (a + 3)) * x * x + 1,
                           torch.where(x < 2, ((a * x - 5 * a) * x + 8 * a) * x - 4 * a, torch.zeros_like(x)))
    return [w(t + 1), w(t), w(1 - t), w(2 - t)]


def sample_cubic(img, x, y):
    """img (B, H, W); x, y (B, N) in pixel units of img; edge pixels repeat beyond the border."""
    b, h, wd = img.shape
    x0 = torch.floor(x)
    y0 = torch.floor(y)
    wx = cubic_weights(x - x0)
    wy = cubic_weights(y - y0)
    flat = img.reshape(b, -1)
    out = torch.zeros_like(x)
    xi = x0.long()
    yi = y0.long()
    for j in range(4):
        row = (yi + j - 1).clamp(0, h - 1) * wd
        acc = torch.zeros_like(x)
        for i in range(4):
            col = (xi + i - 1).clamp(0, wd - 1)
            acc = acc + wx[i] * torch.gather(flat, 1, row + col)
        out = out + wy[j] * acc
    return out


class Generator:
    """Random speckle pairs with smooth fields, cracks, noise and quantisation."""

    def __init__(self, seed, size, margin=24):
        self.g = torch.Generator().manual_seed(seed)
        self.size = size
        self.margin = margin

    def rand(self, *shape):
        return torch.rand(*shape, generator=self.g)

    def randn(self, *shape):
        return torch.randn(*shape, generator=self.g)

    def uniform(self, lo, hi, *shape):
        return lo + (hi - lo) * self.rand(*shape)

    def texture(self, b, n):
        """Band-limited speckle on a half-pixel grid of n x n samples covering n/2 pixels."""
        noise = self.randn(b, n, n)
        fy = torch.fft.fftfreq(n).reshape(1, n, 1)
        fx = torch.fft.rfftfreq(n).reshape(1, 1, -1)
        radius = self.uniform(1.3, 4.0, b, 1, 1) * 2.0  # speckle radius in grid samples
        spectrum = torch.fft.rfft2(noise) * torch.exp(-2 * (math.pi * radius) ** 2 * (fx * fx + fy * fy))
        t = torch.fft.irfft2(spectrum, s=(n, n))
        t = t / t.std(dim=(1, 2), keepdim=True)
        # From soft Gaussian texture to saturated dots: varied speckle contrast and shape.
        sharp = self.uniform(0.5, 3.0, b, 1, 1)
        t = torch.tanh(sharp * (t + self.uniform(-0.5, 0.5, b, 1, 1)))
        return t

    def fields(self, b):
        """Parameters of a displacement field per sample: smooth part plus an optional crack."""
        p = {}
        p["trans"] = self.uniform(-3, 3, b, 2)
        p["grad"] = self.uniform(-0.04, 0.04, b, 4) * (self.rand(b, 1) < 0.7)
        k = 4
        p["amp"] = self.uniform(0, 1, b, k, 2) * self.uniform(0, 2.5, b, 1, 1) / math.sqrt(k)
        p["freq"] = self.randn(b, k, 2) * (2 * math.pi / self.uniform(40, 200, b, k, 1))
        p["phase"] = self.uniform(0, 2 * math.pi, b, k, 1)
        crack = self.rand(b) < 0.35
        p["crack"] = crack.float()
        angle = self.uniform(0, math.pi, b)
        p["normal"] = torch.stack([torch.cos(angle), torch.sin(angle)], 1)
        c = self.size / 2
        p["point"] = c + self.uniform(-self.size / 4, self.size / 4, b, 2)
        # Curved cracks are arcs of circles; a radius of zero means straight.
        curved = self.rand(b) < 0.4
        p["radius"] = torch.where(curved, self.uniform(30, 150, b), torch.zeros(b))
        p["jump"] = self.uniform(-3, 3, b, 2) * self.uniform(0.1, 1, b, 1)
        return p

    @staticmethod
    def side(p, x, y):
        """Signed distance-like coordinate across the crack (B, N)."""
        dx = x - p["point"][:, :1]
        dy = y - p["point"][:, 1:]
        s_line = dx * p["normal"][:, :1] + dy * p["normal"][:, 1:]
        r = p["radius"][:, None]
        cx = r * p["normal"][:, :1]
        cy = r * p["normal"][:, 1:]
        s_arc = r - torch.sqrt((dx + cx) ** 2 + (dy + cy) ** 2)
        return torch.where(r > 0, -s_arc, s_line)

    def displacement(self, p, x, y, crack_width=0.0, side=None):
        """u(x, y) of each sample (B, N) x 2; crack_width > 0 smears the jump (an estimate, not the truth);
        side (+0.5 or -0.5) takes that side's motion everywhere."""
        c = self.size / 2
        gx, gy = x - c, y - c
        g = p["grad"]
        ux = p["trans"][:, :1] + g[:, :1] * gx + g[:, 1:2] * gy
        uy = p["trans"][:, 1:] + g[:, 2:3] * gx + g[:, 3:4] * gy
        arg = p["freq"][:, :, :1] * x[:, None, :] + p["freq"][:, :, 1:] * y[:, None, :] + p["phase"]
        s = torch.sin(arg)
        ux = ux + (p["amp"][:, :, :1] * s).sum(1)
        uy = uy + (p["amp"][:, :, 1:] * s).sum(1)
        d = self.side(p, x, y)
        if side is not None:
            h = torch.full_like(d, side)
        elif isinstance(crack_width, torch.Tensor) or crack_width > 0:
            h = torch.sigmoid(d / crack_width) - 0.5
        else:
            h = (d > 0).float() - 0.5
        h = h * p["crack"][:, None]
        return ux + p["jump"][:, :1] * h, uy + p["jump"][:, 1:] * h

    def photometric(self, img, b):
        bits16 = self.rand(b, 1, 1) < 0.3
        levels = torch.where(bits16, torch.full((b, 1, 1), 65535.0), torch.full((b, 1, 1), 255.0))
        contrast = self.uniform(0.15, 0.45, b, 1, 1) * levels
        mean = self.uniform(0.35, 0.65, b, 1, 1) * levels
        gain = self.uniform(0.75, 1.25, b, 1, 1)
        offset = self.uniform(-0.08, 0.08, b, 1, 1) * levels
        noise = self.uniform(0.0, 0.015, b, 1, 1) * levels
        return levels, contrast, mean, gain, offset, noise

    def batch(self, b):
        n = self.size
        m = self.margin
        full = n + 2 * m
        grid_n = 2 * (full + 16)
        tex = self.texture(b, grid_n)
        p = self.fields(b)
        levels, contrast, mean, gain, offset, noise = self.photometric(tex, b)

        ys, xs = torch.meshgrid(torch.arange(full, dtype=torch.float32) - m,
                                torch.arange(full, dtype=torch.float32) - m, indexing="ij")
        xs = xs.reshape(1, -1).expand(b, -1)
        ys = ys.reshape(1, -1).expand(b, -1)

        def texture_at(px, py):
            # The texture is on a half-pixel grid whose origin is at -m - 8 px.
            return sample_cubic(tex, 2 * (px + m + 8), 2 * (py + m + 8))

        def inverse(px, py, side):
            # The material point that lands on (px, py) when it moves with `side` of the crack.
            X, Y = px.clone(), py.clone()
            for _ in range(6):
                ux, uy = self.displacement(p, X, Y, side=side)
                X, Y = px - ux, py - uy
            return X, Y

        # Pixel integration by 2 x 2 sub-samples. Each sub-sample of the deformed image
        # takes the side of the crack its material came from; where neither side's
        # material lands, the crack has opened and shows the gap's even grey.
        gap = self.uniform(-2.0, 1.0, b, 1)
        cracked = p["crack"][:, None] > 0
        ref = 0
        deformed = 0
        for oy in (-0.25, 0.25):
            for ox in (-0.25, 0.25):
                sx, sy = xs + ox, ys + oy
                ref = ref + texture_at(sx, sy) / 4
                Xp, Yp = inverse(sx, sy, 0.5)
                Xm, Ym = inverse(sx, sy, -0.5)
                plus = (self.side(p, Xp, Yp) > 0) | ~cracked
                minus = self.side(p, Xm, Ym) <= 0
                value = torch.where(plus, texture_at(Xp, Yp), torch.where(minus, texture_at(Xm, Ym), gap))
                deformed = deformed + value / 4

        def finish(img, second):
            img = img.reshape(b, full, full)
            g = gain if second else 1.0
            o = offset if second else 0.0
            img = (mean + contrast * img) * g + o + noise * self.randn(b, full, full)
            return torch.minimum(torch.maximum(torch.round(img), torch.zeros(1)), levels)

        ref = finish(ref, False)
        deformed = finish(deformed, True)

        # The current estimate: the truth minus a residual of widely varied size; near a
        # crack the estimate smears the jump as interpolation of a coarse grid would.
        cx = xs[:, :].reshape(b, full, full)[:, m:m + n, m:m + n].reshape(b, -1)
        cy = ys[:, :].reshape(b, full, full)[:, m:m + n, m:m + n].reshape(b, -1)
        tu, tv = self.displacement(p, cx, cy)
        width = self.uniform(2, 24, b, 1)
        su, sv = self.displacement(p, cx, cy, crack_width=width)
        scale = torch.exp(self.uniform(math.log(0.003), math.log(2.5), b, 1))
        eu = su + scale * self.uniform(-1, 1, b, 1)
        ev = sv + scale * self.uniform(-1, 1, b, 1)
        wave = 2 * math.pi / self.uniform(30, 120, b, 2)
        ph = self.uniform(0, 2 * math.pi, b, 2)
        ripple = self.uniform(0, 1, b, 1) * scale
        eu = eu + ripple * torch.sin(wave[:, :1] * cx + ph[:, :1])
        ev = ev + ripple * torch.sin(wave[:, 1:] * cy + ph[:, 1:])

        warped = sample_cubic(deformed, cx + eu + m, cy + ev + m)
        ref_tile = ref[:, m:m + n, m:m + n]
        warped = warped.reshape(b, n, n)
        x = torch.stack([normalise(ref_tile), normalise(warped)], 1)
        target = torch.stack([(tu - eu).reshape(b, n, n), (tv - ev).reshape(b, n, n)], 1)
        return x, target


def normalise(t):
    mean = t.mean(dim=(1, 2), keepdim=True)
    std = t.std(dim=(1, 2), keepdim=True, unbiased=False)
    return (t - mean) / (std + 1e-6 * (1 + mean.abs()))


def write_weights(model, path):
    layers = model.layers()
    header = b"TNWF" + struct.pack("<IIII", 1, MODEL_VERSION, ITERATIONS, len(layers))
    payload = bytearray()
    for layer in layers:
        w = layer.weight.detach().contiguous().float()
        header += struct.pack("<IIII", w.shape[0], w.shape[1], w.shape[2], w.shape[3])
        payload += struct.pack("<%df" % w.numel(), *w.flatten().tolist())
        bias = layer.bias.detach().float()
        payload += struct.pack("<%df" % bias.numel(), *bias.tolist())
    header += struct.pack("<I", zlib.crc32(bytes(payload)) & 0xFFFFFFFF)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(header)
        f.write(payload)
    import os
    os.replace(tmp, path)


_worker_seed = 0
_worker_size = 0


def _start_worker(seed, size):
    global _worker_seed, _worker_size
    torch.set_num_threads(1)
    _worker_seed, _worker_size = seed, size


def _make_batch(job):
    # Each batch has a generator of its own, so the data do not depend on which
    # worker makes them or when.
    index, batch = job
    return Generator(_worker_seed * 1000003 + index, _worker_size).batch(batch)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--steps", type=int, default=24000)
    parser.add_argument("--batch", type=int, default=16)
    parser.add_argument("--size", type=int, default=48)
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--threads", type=int, default=4, help="threads of the training process")
    parser.add_argument("--workers", type=int, default=4, help="processes making the data, one thread each")
    # Each generated batch is seen this many times, each time turned another way.
    parser.add_argument("--views", type=int, default=2)
    parser.add_argument("--save-every", type=int, default=2000)
    # Ends the run after this many steps of the --steps schedule, writing the
    # weights of that step: a shorter run that reproduces a saved checkpoint.
    parser.add_argument("--stop-after", type=int, default=0)
    args = parser.parse_args()

    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    net = RefineNet()
    model = Antisymmetric(net)
    print("parameters", sum(p.numel() for p in net.parameters()), flush=True)
    valid_gen = Generator(args.seed + 7919, args.size)
    valid = [valid_gen.batch(args.batch) for _ in range(8)]
    opt = torch.optim.Adam(net.parameters(), lr=2e-3)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=2e-3, total_steps=args.steps, pct_start=0.05)
    start = time.time()
    running = 0.0

    def validate():
        model.eval()
        with torch.no_grad():
            err = sum((model(x) - t).norm(dim=1).mean().item() for x, t in valid) / len(valid)
        model.train()
        return err

    batches = (args.steps + args.views - 1) // args.views
    with multiprocessing.get_context("fork").Pool(args.workers, _start_worker, (args.seed, args.size)) as pool:
        data = pool.imap(_make_batch, ((k, args.batch) for k in range(batches)), chunksize=1)
        step = 0
        for k, (x0, t0) in enumerate(data):
            for view in range(args.views):
                step += 1
                x, target = dihedral(x0, t0, (k + 3 * view) % 8)
                pred = model(x)
                # Charbonnier loss: robust at the crack line, smooth near zero for sub-pixel precision.
                loss = torch.sqrt(((pred - target) ** 2).sum(1) + 1e-6).mean()
                opt.zero_grad()
                loss.backward()
                opt.step()
                sched.step()
                running += loss.item()
                if step % 100 == 0:
                    print("step %d loss %.4f elapsed %.0fs" % (step, running / 100, time.time() - start), flush=True)
                    running = 0.0
                last = step == args.steps or step == args.stop_after
                if step % args.save_every == 0 or last:
                    print("step %d validation endpoint error %.4f px" % (step, validate()), flush=True)
                    write_weights(net, args.out)
                if last:
                    break
            if last:
                break
        pool.terminate()
    print("done in %.0fs" % (time.time() - start), flush=True)


if __name__ == "__main__":
    main()
