"""The engine's contract with the models, read from the one file both sides
take it from (src/meter/modelcontract.json): the key points and their order,
the scale's points in order along it, and the thresholds the engine reads
the models' outputs with."""
import json
import os

_PATH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "meter",
                     "modelcontract.json")
with open(_PATH) as _fh:
    _CONTRACT = json.load(_fh)

LAYOUT = _CONTRACT["layout"]
KEYPOINT_NAMES = tuple(_CONTRACT["keypoints"])
NUM_KP = len(KEYPOINT_NAMES)
# Key-point indices along the scale: start, the tenths, end.
SCALE_KP = tuple(KEYPOINT_NAMES.index(name) for name in _CONTRACT["scale"])
PIVOT = KEYPOINT_NAMES.index("pivot")
TIP = KEYPOINT_NAMES.index("needle_tip")
TAIL = KEYPOINT_NAMES.index("needle_tail")
START = KEYPOINT_NAMES.index("scale_start")
END = KEYPOINT_NAMES.index("scale_end")
DIAL_SCORE = float(_CONTRACT["dial_score"])
# A dial without key points (the finder's, placed by no network) is never
# read, and counts as a second dial only from this score on.
UNPLACED_DIAL_SCORE = float(_CONTRACT["unplaced_dial_score"])
NEEDLE_SCORE = float(_CONTRACT["needle_score"])
NMS_IOU = float(_CONTRACT["nms_iou"])


def metadata(task, input_size):
    """The properties an exported model states about itself, which the
    engine checks against its own copy of this contract when it loads it."""
    props = {"dialvane.layout": LAYOUT, "dialvane.input_size": str(input_size), "dialvane.nms_iou": repr(NMS_IOU)}
    if task == "pose":
        props.update({"dialvane.keypoints": str(NUM_KP), "dialvane.keypoint_order": ",".join(KEYPOINT_NAMES),
                      "dialvane.scale_order": ",".join(_CONTRACT["scale"]), "dialvane.score": repr(DIAL_SCORE)})
    else:
        props["dialvane.score"] = repr(NEEDLE_SCORE)
    return props
