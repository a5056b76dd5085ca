"""Model building: synthetic gauges, training, export.

Each command runs from the repository's root as python3 -m training.COMMAND:

  render           synthetic gauge photographs and their labels
  check_labels     reads every label back as the engine does
  train            trains the finder, the dial or the needle network
  decoys           the finder's false dials on the training frames
  real_needles     the CC BY photos' outlined needles, cropped about the finder's box
  export           a checkpoint as the ONNX graph the engine loads, checked
  quantise         an exported graph as int8
  evaluate_labels  a rendered set's labels as tools/evaluate reads them
  frame_photos     labelled photos shown small in wide frames
  shipped          the record of a build (shipped.json)
  ablate           what each graph rule is worth
  compare          two tools/evaluate reports, image by image
  candidate        a candidate pair against the shipped one on every validation set
  preview          a contact sheet of a set with its labels drawn
  model            the networks' sizes and multiply-adds

build-models runs them in order. The rest is library: contract (the
engine's contract with the models), engine (what the engine does, in
Python), model (the networks) and graph (what the export adds to them).
"""
