"""Training of the finder, the dial and the needle networks (python3 -m
training.train): the samples (data), the targets and losses (losses), and
the loop with its checkpoints and validation (__main__)."""
