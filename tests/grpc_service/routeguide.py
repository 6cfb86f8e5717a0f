"""Message classes for routeguide.proto, written by hand."""

from quillspar import Message, int32, int64, message, sint32

__proto_package__ = "quillspar.test.routeguide"


@message
class Point(Message):
    latitude: sint32 = 0
    longitude: sint32 = 0


@message
class Feature(Message):
    name: str = ""
    location: Point | None = None


@message
class RouteSummary(Message):
    point_count: int32 = 0
    distance: int64 = 0

    @message
    class Detail(Message):
        text: str = ""
