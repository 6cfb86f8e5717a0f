"""A route guide server and client on the generated gRPC module, for both
`grpc` and `grpc.aio`. The tests run it over loopback and check it with
`mypy --strict`; the `assert_type`s and the `type: ignore`s below are what
the type checker must see (an ignore it does not need is an error under
--strict)."""

from collections.abc import AsyncIterator, Iterator
from typing import assert_type

import grpc  # type: ignore[import-untyped, unused-ignore]

import routeguide_grpc
from quillspar.grpc_types import AsyncServicerContext, Call, ServicerContext
from routeguide import Feature, Point, RouteSummary


def _feature(point: Point) -> Feature:
    return Feature(name=f"{point.latitude},{point.longitude}", location=point)


class SyncGuide(routeguide_grpc.RouteGuideServicer):
    def GetFeature(self, request: Point, context: ServicerContext) -> Feature:
        return _feature(request)

    def ListFeatures(self, request: Point, context: ServicerContext) -> Iterator[Feature]:
        for i in range(request.latitude):
            yield _feature(Point(latitude=i, longitude=request.longitude))

    def RecordRoute(self, request_iterator: Iterator[Point], context: grpc.ServicerContext) -> RouteSummary:
        points = list(request_iterator)
        return RouteSummary(point_count=len(points), distance=sum(abs(p.latitude) + abs(p.longitude) for p in points))

    def RouteChat(self, request_iterator: Iterator[Feature], context: ServicerContext) -> Iterator[Feature]:
        for note in request_iterator:
            yield Feature(name=note.name.upper(), location=note.location)


class AsyncGuide(routeguide_grpc.RouteGuideServicer):
    async def GetFeature(self, request: Point, context: AsyncServicerContext) -> Feature:
        return _feature(request)

    async def ListFeatures(self, request: Point, context: AsyncServicerContext) -> AsyncIterator[Feature]:
        for i in range(request.latitude):
            yield _feature(Point(latitude=i, longitude=request.longitude))

    async def RecordRoute(self, request_iterator: AsyncIterator[Point], context: AsyncServicerContext) -> RouteSummary:
        points = [p async for p in request_iterator]
        return RouteSummary(point_count=len(points), distance=sum(abs(p.latitude) + abs(p.longitude) for p in points))

    async def RouteChat(self, request_iterator: AsyncIterator[Feature],
                        context: AsyncServicerContext) -> AsyncIterator[Feature]:
        async for note in request_iterator:
            yield Feature(name=note.name.upper(), location=note.location)


class WrongGuide(routeguide_grpc.RouteGuideServicer):
    def GetFeature(self, request: Feature, context: ServicerContext) -> Feature:  # type: ignore[override]
        return request

    def ListFeatures(self, request: Point, context: ServicerContext) -> Feature:  # type: ignore[override]
        return _feature(request)


def wrong_calls(stub: routeguide_grpc.RouteGuideStub, aio_stub: routeguide_grpc.RouteGuideAsyncStub) -> None:
    """Never called: the type checker rejects each line."""
    stub.GetFeature(Feature())  # type: ignore[arg-type]
    stub.RecordRoute(Point())  # type: ignore[arg-type]
    stub.ListFeatures(Point()).name  # type: ignore[attr-defined]
    aio_stub.GetFeature(Point()).name  # type: ignore[attr-defined]
    routeguide_grpc.add_RouteGuideServicer_to_server(object(), None)  # type: ignore[arg-type]


ROUTE = [Point(latitude=1, longitude=-2), Point(latitude=-30, longitude=4), Point(latitude=0, longitude=0)]
NOTES = [Feature(name="a", location=Point(latitude=1)), Feature(name="bé"), Feature()]

Results = tuple[Feature, list[Feature], RouteSummary, list[Feature]]


def call_all(stub: routeguide_grpc.RouteGuideStub) -> Results:
    """One call of each kind, with a timeout."""
    feature = stub.GetFeature(Point(latitude=5, longitude=-7), timeout=10)
    assert_type(feature, Feature)
    features = list(stub.ListFeatures(Point(latitude=3, longitude=9), timeout=10))
    assert_type(features, list[Feature])
    summary, call = stub.RecordRoute.with_call(iter(ROUTE), timeout=10)
    assert_type(summary, RouteSummary)
    assert_type(call, Call)
    chat = list(stub.RouteChat(iter(NOTES), timeout=10))
    return feature, features, summary, chat


async def call_all_async(stub: routeguide_grpc.RouteGuideAsyncStub) -> Results:
    """`call_all` on a `grpc.aio` channel; the streams go both ways as async
    iterators, and the last call writes its requests one by one."""

    async def route() -> AsyncIterator[Point]:
        for point in ROUTE:
            yield point

    feature = await stub.GetFeature(Point(latitude=5, longitude=-7), timeout=10)
    assert_type(feature, Feature)
    features = [f async for f in stub.ListFeatures(Point(latitude=3, longitude=9), timeout=10)]
    summary = await stub.RecordRoute(route(), timeout=10)
    assert_type(summary, RouteSummary)
    chat_call = stub.RouteChat(timeout=10)
    for note in NOTES:
        await chat_call.write(note)
    await chat_call.done_writing()
    chat = [f async for f in chat_call]
    assert_type(chat, list[Feature])
    return feature, features, summary, chat
