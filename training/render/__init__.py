"""Synthetic dial-gauge photographs with exact labels.

render_sample(seed, index, size) -> (BGR image, label dict, masks) draws a
square sample, render_frame(seed, index) a wide camera frame; python3 -m
training.render writes a set (see __main__.py). Every sample draws its own
random stream from (seed, index), every frame from (seed, index, 1), so a set
is reproducible and can be rendered in parallel or in parts.

Geometry is built in a flat "dial canvas" (pixels, x right, y down, angles
in radians with positive = clockwise on screen). The canvas is drawn, then
mapped into the photo by one homography H; every label point goes through
the same H, so labels stay exact under tilt and roll.

  primitives   drawing and random-draw helpers
  backgrounds  wallpapers, procedural backdrops, distractors and clutter
  scales       ranges, where values sit on a dial, ticks and numbers
  needles      the needle's outline and its drawing
  faces        the round, panel and sector dials
  labels       label dicts from the drawing's geometry
  scenes       pose, composite and photometric treatment; samples and frames
"""
from .backgrounds import frame_background
from .labels import scale_width
from .scenes import FRAME_SHARE, render_frame, render_sample

__all__ = ["FRAME_SHARE", "frame_background", "render_frame", "render_sample", "scale_width"]
