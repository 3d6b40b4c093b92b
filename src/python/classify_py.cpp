// The module function classify_exchange.
#include "core/protocol/classify.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"

namespace zun::py {
namespace {

constexpr Param kParams[] = {{"protocol_hint", true}, {"counterparty", true}};
constexpr Signature kSignature{"classify_exchange()", kParams};

// The eleven answers as Python strings, made once: the classifier returns a
// view of one of kPairClassNames, so the answer maps straight to its string.
PyObject* pair_class_string(std::string_view name) {
    static KeptObject strings[kPairClassNames.size()];
    for (std::size_t i = 0; i < kPairClassNames.size(); ++i) {
        if (kPairClassNames[i].data() != name.data()) continue;
        return Py_NewRef(interned(strings[i], kPairClassNames[i].data()));
    }
    return new_str(name);
}

PyObject* classify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kSignature, args, nargs, kwnames);
        const std::string_view hint = to_text(bound[0], "protocol_hint");
        const std::string_view counterparty = to_text(bound[1], "counterparty");
        return pair_class_string(classify_exchange(hint, counterparty));
    });
}

}  // namespace

PyMethodDef classify_exchange_def = {
    "classify_exchange", method(classify), kFastKeywords,
    "classify_exchange(protocol_hint, counterparty)\n--\n\n"
    "Map `(protocol_hint, counterparty)` to one of the 11 pair classes:\n"
    "routing, discovery, enrichment, composition, causal, marketplace,\n"
    "trust, compliance, conductance, mediation, preference.\n\n"
    "Mirror of `zun_protocol_signed_envelope::classify::classify_exchange`."};

}  // namespace zun::py
