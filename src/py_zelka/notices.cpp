// py_zelka.notices -- the vocabulary with which the farm-data readers report
// data-quality findings that do not stop a read.
#include "host/classes.hpp"
#include "host/host.hpp"

namespace nb = nanobind;

namespace {

struct State : host::State {
    host::Ref zelka_data_notice{this};  // the warning category
};

// One warning per notice of the log, in list order:
//   "[<source>] <subject>:<suffix> <message>"
// where the suffix is " week_index=<n>" and/or " tag=<repr>" for the fields
// that are not None.
void emit_warnings(State &s, nb::handle self) {
    nb::object iterator = nb::steal(PyObject_GetIter(self.ptr()));
    if (!iterator.is_valid())
        throw nb::python_error();
    for (;;) {
        nb::object notice = nb::steal(PyIter_Next(iterator.ptr()));
        if (!notice.is_valid()) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return;
        }
        nb::object week_index = notice.attr("week_index");
        nb::str suffix("");
        if (!week_index.is_none())
            suffix = host::text(" week_index=", host::Format{week_index});
        nb::object tag = notice.attr("tag");
        if (!tag.is_none())
            suffix = host::text(suffix, " tag=", host::Repr{tag});
        nb::str source = host::format(notice.attr("source"));
        nb::str subject = host::format(notice.attr("subject"));
        nb::str message = host::format(notice.attr("message"));
        host::warn(s.zelka_data_notice, host::text("[", source, "] ", subject, ":", suffix, " ", message));
    }
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "Data-quality notices and read results.\n\n"
        "Every farm-data reader returns a ReadResult: the data it read together with a\n"
        "NoticeLog of the findings that did not stop the read (an optional column that\n"
        "is absent, a fallback estimate standing in for missing data).  Nothing here\n"
        "warns by itself: call NoticeLog.emit_warnings() to turn the findings into\n"
        "ZelkaDataNotice warnings.";

    nb::object type_var = host::from_import("typing", "TypeVar");
    nb::object T = host::publish(m, "T", type_var("T"));

    nb::object notice_kind = host::publish(
        m, "NoticeKind",
        host::str_enum(m, "NoticeKind",
                       "The kind of a data-quality notice.\n\n"
                       "FALLBACK_ESTIMATE: a fallback estimate stands in for missing data.\n"
                       "FEATURE_DISABLED: an optional input is absent, so the quantity it feeds\n"
                       "is left out of the model (treated as absent, not zero).",
                       {{"FALLBACK_ESTIMATE", "fallback_estimate"},
                        {"FEATURE_DISABLED", "feature_disabled"}}));
    (void) notice_kind;

    nb::object category = host::publish(
        m, "ZelkaDataNotice",
        host::empty_class(s, "ZelkaDataNotice",
                          "Warning category of the data-quality notices a read reports.",
                          nb::make_tuple(nb::handle(PyExc_UserWarning))));
    s.zelka_data_notice = category;

    nb::object notice = host::publish(
        m, "Notice",
        host::ClassBuilder(s, "Notice",
                           "One data-quality finding of a read.\n\n"
                           "kind        the NoticeKind of the finding\n"
                           "subject     what the finding is about (for example a column name)\n"
                           "message     the human-readable explanation\n"
                           "source      where the finding comes from (the reader's name)\n"
                           "week_index  the model week it concerns, if any\n"
                           "tag         the ribbon tag it concerns, if any")
            .field("kind", "NoticeKind")
            .field("subject", "str")
            .field("message", "str")
            .field("source", "str")
            .field("week_index", "int | None", nb::none())
            .field("tag", "str | None", nb::none())
            .record());

    nb::object list_of_notice =
        nb::steal(PyObject_GetItem((PyObject *) &PyList_Type, notice.ptr()));
    if (!list_of_notice.is_valid())
        throw nb::python_error();

    host::publish(
        m, "NoticeLog",
        host::ClassBuilder(s, "NoticeLog",
                           "The findings of one read, in the order they were found.\n\n"
                           "A list of Notice records; every list operation applies.")
            .method<&emit_warnings>("emit_warnings", "(self, /) -> None",
                    "Issue one ZelkaDataNotice warning per notice, in order.\n\n"
                    "The text of a warning is \"[source] subject: message\", with\n"
                    "\" week_index=N\" and \" tag='t'\" after the colon for the fields that\n"
                    "are set.  The warnings are attributed to the caller.  The log is\n"
                    "left unchanged.")
            .make(nb::make_tuple(list_of_notice)));

    nb::object generic = host::from_import("typing", "Generic");
    nb::object generic_t = generic[T];
    host::publish(m, "ReadResult",
                  host::ClassBuilder(s, "ReadResult",
                                     "The result of a reader: the data it read and the notices "
                                     "of the read.")
                      .field("data", "T")
                      .field("notices", "NoticeLog")
                      .record(nb::make_tuple(generic_t)));
}

}  // namespace

ZELKA_MODULE(notices, State, init)
