#include "connect/provider/objects.h"

#include <exception>

#include "jet/write/restore_objects.h"

namespace provider {

namespace {

std::vector<ObjectFailure> failures_of(const std::vector<jet::RestoreFailure>& from) {
    std::vector<ObjectFailure> out;
    for (const auto& f : from) out.push_back({f.object, f.message});
    return out;
}

template <typename F>
auto engine_call(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw Error(e.what());
    }
}

}  // namespace

ObjectCopy::ObjectCopy(const std::string& source, const std::string& source_password,
                       const std::string& target, const std::string& target_password) {
    engine_call([&] {
        restorer_ = std::make_unique<jet::ObjectRestorer>(source, source_password, target,
                                                          target_password);
        return 0;
    });
}

ObjectCopy::~ObjectCopy() = default;

std::vector<ObjectFailure> ObjectCopy::access_objects() {
    return engine_call([&] { return failures_of(restorer_->access_objects()); });
}

std::vector<ObjectFailure> ObjectCopy::complex_data() {
    return engine_call([&] { return failures_of(restorer_->complex_data()); });
}

std::vector<ObjectFailure> ObjectCopy::queries(const EachObject& each) {
    return engine_call([&] { return failures_of(restorer_->queries(each)); });
}

std::vector<ObjectFailure> ObjectCopy::linked_tables(const EachObject& each) {
    return engine_call([&] { return failures_of(restorer_->linked_tables(each)); });
}

std::vector<ObjectFailure> ObjectCopy::relationships() {
    return engine_call([&] { return failures_of(restorer_->relationships()); });
}

std::vector<ObjectFailure> ObjectCopy::properties() {
    return engine_call([&] { return failures_of(restorer_->properties()); });
}

void ObjectCopy::close() {
    engine_call([&] {
        restorer_->close();
        return 0;
    });
}

}  // namespace provider
