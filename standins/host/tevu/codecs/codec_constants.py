"""Codec description records and the exceptions through which codecs talk to the host."""

from __future__ import absolute_import


class CodecStateException(Exception):
    """A codec was used in a state that does not allow the call."""


class TransientCodecException(Exception):
    """A codec could not be set up for lack of a resource that may become free again.

    The host may retry later (another stream may have released the GPU session or memory).
    """


# Fields of a codec description record and their values when a codec does not give them.
VIDEO_SPEC_FIELDS = (
    ("encoding", None),
    ("input_colorspace", None),
    ("output_colorspaces", ()),
    ("has_lossless_mode", False),
    ("codec_class", None),
    ("codec_type", ""),
    ("quality", 50),
    ("speed", 50),
    ("setup_cost", 50),
    ("cpu_cost", 100),
    ("gpu_cost", 0),
    ("min_w", 1),
    ("min_h", 1),
    ("max_w", 4 * 1024),
    ("max_h", 4 * 1024),
    ("can_scale", False),
    ("width_mask", 0xFFFF),
    ("height_mask", 0xFFFF),
    ("max_instances", 0),
)
_FIELD_NAMES = frozenset(name for name, _ in VIDEO_SPEC_FIELDS)


class video_spec(object):
    """The description of one codec implementation, through which the host ranks and creates codecs.

    Every field of ``VIDEO_SPEC_FIELDS`` may be given as a keyword; the others take their defaults.
    Attributes can be changed and added after construction (a codec attaches its own
    ``get_runtime_factor``). An unknown keyword is an error, so that a misspelt field is not lost.
    """

    def __init__(self, **kwargs):
        unknown = sorted(set(kwargs) - _FIELD_NAMES)
        if unknown:
            raise TypeError("unknown video_spec field%s: %s"
                            % ("" if len(unknown) == 1 else "s", ", ".join(unknown)))
        for name, default in VIDEO_SPEC_FIELDS:
            setattr(self, name, kwargs.get(name, default))

    def get_runtime_factor(self):
        """How usable the codec is right now, from 0 (not at all) to 1; codecs replace this."""
        return 1.0

    def make_instance(self):
        """A new, not yet initialised codec object of this kind."""
        if self.codec_class is None:
            raise CodecStateException("video_spec %r has no codec class" % (self,))
        return self.codec_class()

    def to_dict(self):
        return dict((name, getattr(self, name)) for name, _ in VIDEO_SPEC_FIELDS)

    def __repr__(self):
        outputs = self.output_colorspaces
        if isinstance(outputs, (list, tuple)):
            outputs = "/".join(str(x) for x in outputs)
        source = self.input_colorspace or "?"
        return "video_spec(%s %s: %s to %s)" % (self.codec_type or "?", self.encoding, source, outputs)
